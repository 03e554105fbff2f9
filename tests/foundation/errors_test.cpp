#include <gtest/gtest.h>

#include "api/frame.h"
#include "foundation/basic.h"
#include "foundation/errors.h"
#include "support/temp_dir.h"

namespace zelo {
namespace {

TEST(Errors, ZeroRaiseClearsThePendingError) {
  ErrRaise(ERR_IMG, 3, 1);
  EXPECT_FALSE(ErrNone());
  ErrRaise(ERR_FILE, 0, 2);
  EXPECT_TRUE(ErrNone());
  EXPECT_EQ(ErrCategory(), 0);
}

struct TextCase {
  int32_t category, code;
  const char* text;
};

TEST(Errors, MessageTables) {
  const TextCase cases[] = {
      {4, 1, "Out of range."},
      {4, 2, "Not supported."},
      {4, 3, "Invalid variable type."},
      {4, 4, "General \"GEN\" error."},
      {5, 1, "Memory allocation fault."},
      {5, 2, "Memory manager fault."},
      {5, 3, "Memory reallocation fault."},
      {5, 4, "Memory could not be deallocated."},
      {5, 5, "Invalid memory request."},
      {5, 6, "Fatal memory manager error."},
      {5, 7, "General memory fault."},
      {6, 3, "Cannot read from file."},
      {6, 4, "Cannot write to file."},
      {6, 5, "Cannot seek in file."},
      {6, 8, "Cannot close file."},
      {6, 9, "File not exist."},
      {6, 10, "File name change failed."},
      {6, 11, "Fatal file manager fault."},
      {6, 12, "General file handling fault."},
      {7, 1, "Image format not supported."},
      {7, 2, "Invalid image format."},
      {7, 3, "Cannot decompress image data."},
      {7, 4, "Image header invalid."},
      {7, 5, "Cannot compress image data."},
      {7, 6, "Cannot initialize image function."},
      {7, 7, "Cannot initialize image compression data."},
      {7, 8, "Cannot open image file."},
      {7, 9, "Image data corrupted."},
      {7, 10, "Cannot realize palette."},
      {7, 11, "Cannot create image file."},
      {7, 12, "General image handling fault."},
      {8, 1, "Audio conversion error."},
      {8, 2, "Audio conversion error (ACM)."},
      {8, 3, "Audio conversion error (WAVE)."},
      {8, 4, "Invalid audio format."},
      {8, 5, "General audio handling fault."},
      {9, 1, "Cannot read from AVI file."},
      {9, 2, "Cannot write to AVI file."},
      {9, 3, "Cannot read audio data from AVI file."},
      {9, 4, "Cannot write audio data to AVI file."},
      {9, 5, "Cannot open AVI file."},
      {9, 6, "Cannot create AVI file."},
      {9, 7, "Cannot initialize AVI codec."},
      {9, 8, "AVI audio stream not valid (decompressor not found?), ignoring audio"},
      {9, 9, "General AVI handling fault."},
      {10, -2147205005, "AVI subsystem malfunction: 2147762291"},
      {11, 5, "Video For Windows malfunction: 5"},
      {12, 1, "Invalid movie format."},
      {12, 2, "Cannot write to movie file."},
      {12, 3, "Cannot decompress movie image data."},
      {12, 4, "Cannot compress movie image data."},
      {12, 5, "Movie format not supported."},
      {12, 6, "Cannot open movie file."},
      {12, 7, "End of movie reached."},
      {12, 8, "Cannot create movie file."},
      {12, 9, "General \"MVI\" handling fault."},
      {14, 5, "Movie format not supported."},
      {14, 99, "General \"MVI\" handling fault."},
      {13, 1, "Cannot open WAV file."},
      {13, 2, "Cannot create WAV file."},
      {13, 3, "Cannot read from WAV file."},
      {13, 4, "Cannot write to WAV file."},
      {13, 5, "Cannot seek in WAV file."},
      {13, 99, "general \"WAV\" handling fault."},
      {15, 1, "End of JEX movie reached."},
      {15, 2, "General \"JEX\" handling fault."},
      {16, 1, "UNI protocol fault."},
      {16, 2, "General \"UNI\" handling fault."},
      {17, 1, "End of FLIC movie reached."},
      {17, 2, "General \"FLIC\" handling fault."},
      {19, 512, "Fatal error in Audio Compression Manager: 512"},
      {20, 3, "Fatal error in Win-MM: 3"},
      {18, 5, "Undefined error: 18:5"},
      {99, -1, "Undefined error: 99:4294967295"},
      {6, 0, "No errors."},
      {0, 6, "No errors."},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ErrText(c.category, c.code), c.text) << c.category << ":" << c.code;
}

TEST(Errors, FileMessagesNameTheLastFile) {
  test::TempDir dir;
  std::string name = dir / "a.bmp";
  int32_t h = 0;
  FOpen(h, name, FM_READ);
  EXPECT_EQ(ErrText(ERR_FILE, 1), "Cannot open file: " + name);
  EXPECT_EQ(ErrText(ERR_FILE, 2), "Cannot create file: " + name);
  EXPECT_EQ(ErrText(ERR_FILE, 6), "Cannot delete file: " + name);
  EXPECT_EQ(ErrText(ERR_FILE, 7), "Cannot append to file: " + name);
  ErrClear();
}

TEST(Errors, TextCategoriesGiveTheStoredText) {
  ErrRaiseMsg(ERR_TEXT, "libpng: bad thing", 5);
  EXPECT_EQ(ErrCode(), MAX_CODE);
  EXPECT_EQ(ErrText(ERR_TEXT, 1), "libpng: bad thing");
  EXPECT_EQ(ErrText(ERR_EXCEPT, 77), "libpng: bad thing");
  ErrRaise(ERR_IMG, 2, 6);  // no text: the stored text stays
  EXPECT_EQ(ErrText(ERR_TEXT2, 1), "libpng: bad thing");
  ErrRaiseText(ERR_IMG, 2, "ignored for the message", 7);
  EXPECT_EQ(ErrText(ERR_IMG, 2), "Invalid image format.");
  ErrClear();
}

TEST(Errors, WarningsAreSeparateAndNeverReachErrorInfo) {
  int32_t result = api::FramedStatus("zelomain.TestWarn", [] { ErrWarn(ERR_FILE, 8, 1); });
  EXPECT_EQ(result, RES_OK);
  EXPECT_EQ(Api().info.Category, 0);
  EXPECT_EQ(Api().info.Code, 0);
  EXPECT_TRUE(ErrNone());
  EXPECT_FALSE(ErrWarnNone());
  EXPECT_EQ(ErrWarnCode(), 8);
  ErrWarnClear();
  EXPECT_TRUE(ErrWarnNone());
}

TEST(Errors, RaisesWhileLockedAreDropped) {
  ErrSetLocked(true);
  ErrRaise(ERR_IMG, 4, 1);
  ErrSetLocked(false);
  EXPECT_TRUE(ErrNone());
}

}  // namespace
}  // namespace zelo
