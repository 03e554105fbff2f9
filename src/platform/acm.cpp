#include "platform/acm.h"

#include <cstring>
#include <memory>
#include <new>
#include <set>

#include "platform/acm_stream.h"

namespace zelo {
namespace {

// Open streams; a handle that is not in this set is refused, as the manager
// refuses stale or foreign handles.
std::set<HACMSTREAM>& Streams() {
  static auto* s = new std::set<HACMSTREAM>;
  return *s;
}

acm::AcmStream* Find(HACMSTREAM h) { return Streams().count(h) ? h : nullptr; }

// No exception may leave a service call: a failed allocation is a result.
template <class Work>
int32_t Service(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  } catch (...) {
    return MMSYSERR_ERROR;
  }
}

}  // namespace

int32_t acmFormatSuggest(HACMDRIVER driver, const QWaveFormat* src, QWaveFormat* dst, uint32_t dstSize,
                         uint32_t flags) {
  return Service([&]() -> int32_t {
    if (driver != nullptr) return MMSYSERR_INVALHANDLE;
    if (src == nullptr || dst == nullptr || dstSize < 16) return MMSYSERR_INVALPARAM;
    if ((flags & ~ACM_FORMATSUGGESTF_WFORMATTAG) != 0) return MMSYSERR_INVALFLAG;
    if ((flags & ACM_FORMATSUGGESTF_WFORMATTAG) && dst->formatTag != 1) return ACMERR_NOTPOSSIBLE;
    acm::Coding coding;
    if (int32_t r = acm::Describe(*src, coding); r != MMSYSERR_NOERROR) return r;
    QWaveFormat pcm{};
    pcm.formatTag = 1;
    pcm.channels = src->channels;
    pcm.samplesPerSec = src->samplesPerSec;
    pcm.bitsPerSample = 16;
    pcm.blockAlign = uint16_t(pcm.channels * 2);
    pcm.avgBytesPerSec = pcm.samplesPerSec * pcm.blockAlign;
    std::memcpy(dst, &pcm, dstSize < sizeof pcm ? dstSize : sizeof pcm);
    return MMSYSERR_NOERROR;
  });
}

int32_t acmStreamOpen(HACMSTREAM* stream, HACMDRIVER driver, const QWaveFormat* src, const QWaveFormat* dst,
                      const void* filter, uintptr_t /*callback*/, uintptr_t /*instance*/, uint32_t flags) {
  return Service([&]() -> int32_t {
    bool query = (flags & ACM_STREAMOPENF_QUERY) != 0;
    if (!query) {
      if (stream == nullptr) return MMSYSERR_INVALPARAM;
      *stream = nullptr;
    }
    if (driver != nullptr) return MMSYSERR_INVALHANDLE;
    if (src == nullptr || dst == nullptr || filter != nullptr) return MMSYSERR_INVALPARAM;
    if ((flags & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_NONREALTIME)) != 0) return MMSYSERR_INVALFLAG;
    acm::Coding coding;
    if (int32_t r = acm::Describe(*src, coding); r != MMSYSERR_NOERROR) return r;
    if (int32_t r = acm::CheckTarget(*dst); r != MMSYSERR_NOERROR) return r;
    std::unique_ptr<acm::AcmStream> made;
    if (int32_t r = acm::AcmStream::Create(coding, *dst, made); r != MMSYSERR_NOERROR) return r;
    if (query) return MMSYSERR_NOERROR;
    *stream = made.release();
    Streams().insert(*stream);
    return MMSYSERR_NOERROR;
  });
}

int32_t acmStreamSize(HACMSTREAM stream, uint32_t input, uint32_t* output, uint32_t flags) {
  return Service([&]() -> int32_t {
    acm::AcmStream* s = Find(stream);
    if (s == nullptr) return MMSYSERR_INVALHANDLE;
    if (output == nullptr) return MMSYSERR_INVALPARAM;
    if (flags != ACM_STREAMSIZEF_SOURCE && flags != ACM_STREAMSIZEF_DESTINATION) return MMSYSERR_INVALFLAG;
    uint64_t size = flags == ACM_STREAMSIZEF_SOURCE ? s->OutputBytesFor(input) : s->SourceBytesFor(input);
    if (size > UINT32_MAX) return ACMERR_NOTPOSSIBLE;
    *output = uint32_t(size);
    return MMSYSERR_NOERROR;
  });
}

int32_t acmStreamPrepareHeader(HACMSTREAM stream, AcmStreamHeader* header, uint32_t flags) {
  return Service([&]() -> int32_t {
    if (Find(stream) == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || header->size != kAcmStreamHeaderSize || header->src == nullptr ||
        header->dst == nullptr)
      return MMSYSERR_INVALPARAM;
    if (flags != 0) return MMSYSERR_INVALFLAG;
    header->status = ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
  });
}

int32_t acmStreamConvert(HACMSTREAM stream, AcmStreamHeader* header, uint32_t flags) {
  return Service([&]() -> int32_t {
    acm::AcmStream* s = Find(stream);
    if (s == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || header->size != kAcmStreamHeaderSize) return MMSYSERR_INVALPARAM;
    if ((flags & ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END)) != 0)
      return MMSYSERR_INVALFLAG;
    if (!(header->status & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    header->status &= ~ACMSTREAMHEADER_STATUSF_DONE;
    header->srcLengthUsed = header->dstLengthUsed = 0;
    if (flags & ACM_STREAMCONVERTF_START) s->Reset();
    uint32_t used = 0;
    s->Convert(header->src, header->srcLength, header->dst, header->dstLength,
               (flags & ACM_STREAMCONVERTF_END) != 0, used);
    header->srcLengthUsed = header->srcLength;
    header->dstLengthUsed = used;
    header->status |= ACMSTREAMHEADER_STATUSF_DONE;
    return MMSYSERR_NOERROR;
  });
}

int32_t acmStreamUnprepareHeader(HACMSTREAM stream, AcmStreamHeader* header, uint32_t flags) {
  return Service([&]() -> int32_t {
    if (Find(stream) == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || header->size != kAcmStreamHeaderSize) return MMSYSERR_INVALPARAM;
    if (flags != 0) return MMSYSERR_INVALFLAG;
    if (!(header->status & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    header->status &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
  });
}

int32_t acmStreamClose(HACMSTREAM stream, uint32_t flags) {
  return Service([&]() -> int32_t {
    acm::AcmStream* s = Find(stream);
    if (s == nullptr) return MMSYSERR_INVALHANDLE;
    if (flags != 0) return MMSYSERR_INVALFLAG;
    Streams().erase(stream);
    delete s;
    return MMSYSERR_NOERROR;
  });
}

int32_t acmFormatTagDetailsA(HACMDRIVER driver, AcmFormatTagDetails* details, uint32_t flags) {
  return Service([&]() -> int32_t {
    if (driver != nullptr) return MMSYSERR_INVALHANDLE;
    if (details == nullptr || details->size < sizeof(AcmFormatTagDetails)) return MMSYSERR_INVALPARAM;
    if (flags != ACM_FORMATTAGDETAILSF_FORMATTAG) return MMSYSERR_INVALFLAG;
    uint32_t formatSize = 0;
    const char* name = details->formatTag <= 0xFFFF ? acm::TagName(uint16_t(details->formatTag), &formatSize)
                                                    : nullptr;
    if (name == nullptr) return ACMERR_NOTPOSSIBLE;
    details->formatTagIndex = 0;
    details->formatSize = formatSize;
    details->support = details->formatTag == 1 ? ACMDRIVERDETAILS_SUPPORTF_CONVERTER
                                               : ACMDRIVERDETAILS_SUPPORTF_CODEC;
    details->standardFormats = 0;
    std::memset(details->formatTagName, 0, sizeof details->formatTagName);
    std::strncpy(details->formatTagName, name, sizeof details->formatTagName - 1);
    return MMSYSERR_NOERROR;
  });
}

}  // namespace zelo
