#include <gtest/gtest.h>

#include "api/library.h"
#include "platform/ui.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  zelo::LibraryInit();
  // Message boxes never block a test run.
  zelo::ui::SetMessageBoxHandler([](const std::string&, const std::string&, zelo::ui::Icon) {});
  return RUN_ALL_TESTS();
}
