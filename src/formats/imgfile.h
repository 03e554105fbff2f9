// The library's own still-image formats: Truevision Targa (format 1), ZSoft
// PCX (2) and the Windows bitmap (3). Each has an open routine that checks
// the header into a QImgFile, an information routine, a loader and a writer;
// the image file dispatch reaches them by format id.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/types.h"
#include "formats/ffinfo.h"
#include "zelo/zelo.h"

namespace zelo {

// The open file of one of these formats.
struct QImgFile {
  int32_t file;          // handle of the file layer (UNDEF when none is open)
  int32_t width;
  int32_t height;
  int32_t bytesPP;       // (bits + 7) / 8
  int32_t bpp;           // 8, 15, 16, 24 or 32 (16-bit Targa and plain bitmaps: 15)
  int64_t fileSize;
  int64_t palOffset;     // file offset of the colour table
  int32_t palSize;       // bytes of the colour table
  int64_t dataOffset;    // file offset of the pixel data
  uint8_t* CmpsData;     // compressed pixel data, read whole
  int32_t cmpsSize;      // bytes in CmpsData
  int32_t palEntrySize;  // bytes per colour-table entry (Targa)
  int32_t palFirst;      // first colour index the table fills (Targa)
  int64_t rowBytes;      // width x bytes per pixel
  int64_t imageBytes;    // row bytes x height
  BOOL compressed;       // run-length encoded pixel data
  BOOL supported;        // the library can load this variant
  BOOL bottomUp;         // the first stored row is the bottom row
  BOOL coreHeader;       // bitmap with the 12-byte OS/2 header
  int32_t planes;        // PCX: colour planes of a scan line
  int32_t lineBytes;     // PCX: bytes of one plane in a scan line
};

// --- shared helpers -------------------------------------------------------------
// Zeroes the record (no file open).
void ImgFileReset_(QImgFile* f);
// Opens the file for reading and notes its size.
void ImgFileOpen_(QImgFile* f, const std::string& name);
// Width, height and bits with the sizes that follow from them.
void ImgFileSetGeometry_(QImgFile* f, int64_t width, int64_t height, int32_t bits);
// Raises (7, 4) unless the picture size is one an image can have.
void ImgFileCheckGeometry_(const QImgFile* f, int32_t location);
// Raises (6, 3) unless the file holds every stored row (rows of row bytes
// followed by gap fill bytes, from the data offset on).
void ImgFileCheckRows_(const QImgFile* f, int32_t gap, int32_t location);
// Allocates the image for the file's geometry with pixels and palette zeroed.
void ImgFileAlloc_(const QImgFile* f, Qimg* img, int32_t location, const char* tag);
// The information every one of these formats gives: size, geometry, one
// frame, whether it has pictures and can be decoded, the compression name.
void ImgFileInfo_(const QImgFile* f, QffInfo* info, bool hasPictures, const char* compression);
// Reads count bytes at a file position.
void ImgFileReadAt_(const QImgFile* f, int64_t position, void* buffer, int64_t count);
// Reads the compressed data: from the data offset to the end of the file,
// less `tail` bytes that follow the pixel data (tag "ConForm.GetCmpsData_.imgf.CmpsData").
void GetCmpsData_(QImgFile* f, int64_t tail = 0);
// Reads all rows into dest; gap fill bytes follow each stored row.
void Dsk2Mem_(QImgFile* f, uint8_t* dest, int32_t gap);
// Writes all rows of the image bottom row first, each followed by gap zero bytes.
void Mem2Dsk_(QImgFile* f, const Qimg* img, int32_t gap);
// Puts count colour-table entries of entrySize bytes into the palette from
// index first on (no further than entry 255). 2-byte entries are 5-5-5
// words; 3- and 4-byte entries blue, green, red, or red, green, blue with swap.
void ImportPalette_(Qimg* img, int32_t first, const uint8_t* table, int32_t count,
                    int32_t entrySize, bool swap);
// Writers store the depths their format holds as they come; any other
// depth becomes the one of the format's depth table (16 bits as 24, and for
// PCX 15 and 32 bits as 24 too). True when `converted` received such a copy
// (released by the caller with ImgFree).
bool ImgFileStoreDepth_(int32_t id, Qimg* img, Qimg* converted);

// --- Targa ------------------------------------------------------------------------
void TGAOpen_(QImgFile* f, const std::string& name);
void TGAInfo(const std::string& name, QffInfo* info);
void TGALoad_(const std::string& name, Qimg* img);
void TGASave_(const std::string& name, Qimg* img);
// The writer's run-length switch (on by default); the output writer sets it.
void TGASetCompression(bool on);
bool TGACompression();
// Decodes run-length packets of p-byte pixels into dest until the input
// ends or dest is full; returns the bytes written.
int64_t TGADecode_(const uint8_t* src, int64_t srcSize, uint8_t* dest, int64_t destSize, int32_t p);
// Encodes one row of pixels of p bytes; returns the encoded length, or -1
// when it would not fit destSize bytes.
int64_t TGAEncodeRow_(const uint8_t* row, int32_t pixels, int32_t p, uint8_t* dest, int64_t destSize);

// --- PCX ----------------------------------------------------------------------------
void PCXOpen_(QImgFile* f, const std::string& name);
void PCXInfo(const std::string& name, QffInfo* info);
void PCXLoad_(const std::string& name, Qimg* img);
void PCXSave_(const std::string& name, Qimg* img);

// The PCX run-length decoder; a run may continue into the next call.
struct QPcxDecoder {
  const uint8_t* src;
  int64_t srcSize;
  int64_t pos;       // next input byte
  int32_t runLeft;   // bytes of the current run still to write
  uint8_t runValue;
};
// Fills up to count bytes; returns the bytes written (fewer when the input ends).
int64_t PCXDecode_(QPcxDecoder* d, uint8_t* dest, int64_t count);
// Encodes count bytes; returns the encoded length, or -1 when it would not fit.
int64_t PCXEncode_(const uint8_t* src, int64_t count, uint8_t* dest, int64_t destSize);

// --- Windows bitmap -----------------------------------------------------------------
void DIBOpen_(QImgFile* f, const std::string& name);
void DIBInfo(const std::string& name, QffInfo* info);
void DIBLoad_(const std::string& name, Qimg* img);
void DIBSave_(const std::string& name, Qimg* img);
// Decodes 8-bit run-length data into rows of `width` bytes, first stored row
// first, until the input ends, the end-of-bitmap code comes or the rows are
// done; pixels beyond the end of a row are dropped.
void DIBDecodeRLE8_(const uint8_t* src, int64_t srcSize, uint8_t* dest, int64_t destSize, int32_t width);

}  // namespace zelo
