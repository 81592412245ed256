// SPDX-License-Identifier: Apache-2.0
// The console: what kxprintf prints is captured exactly while a capture runs, and a new
// capture starts empty.
#include <gtest/gtest.h>

#include <string>

#include "platform/files/kxfile.h"
#include "platform/files/kxfile_host.h"

namespace {

class ConsoleTest : public ::testing::Test {
  protected:
    void TearDown() override { kx::kxConsoleCapture(false); }
};

TEST_F(ConsoleTest, CaptureTakesFormattedTextExactly) {
    kx::kxConsoleCapture(true);
    EXPECT_EQ(kx::kxprintf("'fmt' chunk too short (only %ld bytes)!", -14L), 39);
    EXPECT_EQ(kx::kxprintf("%s|%05d", "x", 42), 7);
    EXPECT_EQ(kx::kxprintf("%s", ""), 0);
    EXPECT_EQ(kx::kxConsoleTaken(), "'fmt' chunk too short (only -14 bytes)!x|00042");
}

TEST_F(ConsoleTest, LongOutputIsNotCut) {
    std::string line(5000, 'q');
    kx::kxConsoleCapture(true);
    kx::kxprintf("%s%d", line.c_str(), 7);
    EXPECT_EQ(kx::kxConsoleTaken(), line + "7");
}

TEST_F(ConsoleTest, ANewCaptureStartsEmptyAndEndingItKeepsTheText) {
    kx::kxConsoleCapture(true);
    kx::kxprintf("first");
    kx::kxConsoleCapture(false);
    EXPECT_EQ(kx::kxConsoleTaken(), "first");
    kx::kxConsoleCapture(true);
    EXPECT_EQ(kx::kxConsoleTaken(), "");
    kx::kxprintf("second");
    EXPECT_EQ(kx::kxConsoleTaken(), "second");
}

}  // namespace
