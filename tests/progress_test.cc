// The progress line: when it appears, how often it changes, what it says,
// and that it is erased.
#include "cli/progress.h"

#include <gtest/gtest.h>

#include <string>

namespace qst {
namespace {

using std::chrono::milliseconds;

// The time as the tests set it.
Progress::Clock::time_point now;
Progress::Clock::time_point Now() { return now; }
const Progress::Clock::time_point start{};

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(ProgressLine, AppearsAfterASecondChangesTenTimesASecondAndIsErased) {
  Output terminal;
  now = start;
  Progress progress(terminal, Now);
  progress.Show(true);
  for (int i = 0; i < 640; ++i) progress.FileDone();
  now = start + milliseconds(900);
  progress.Tick();
  EXPECT_EQ(terminal.Text(), "");
  now = start + milliseconds(1000);
  progress.Tick();
  EXPECT_EQ(terminal.Text(), "\rqst: 640 files, 640 files/s");
  for (int i = 0; i < 640; ++i) progress.FileDone();
  now = start + milliseconds(1050);
  progress.Tick();  // too soon
  EXPECT_EQ(terminal.Text(), "\rqst: 640 files, 640 files/s");
  now = start + milliseconds(1100);
  progress.Tick();
  EXPECT_EQ(terminal.Text(), "\rqst: 640 files, 640 files/s\r" + std::string(27, ' ') +
                                 "\rqst: 1280 files, 1164 files/s");
  // Anything else written takes the line's place first.
  terminal.Write("qst: a message\n");
  EXPECT_TRUE(EndsWith(terminal.Text(), "\r" + std::string(29, ' ') + "\rqst: a message\n"));
  std::size_t before = terminal.Text().size();
  progress.Finish();
  EXPECT_EQ(terminal.Text().size(), before) << "nothing left to erase";
}

TEST(ProgressLine, TellsTheShareOfTheMftReadThenCountsFilesFromThere) {
  Output terminal;
  now = start;
  Progress progress(terminal, Now);
  progress.Show(true);
  now = start + milliseconds(1500);
  progress.MftRead(250, 1000);
  EXPECT_EQ(terminal.Text(), "\rqst: MFT 25% read (250 of 1000 records)");
  now = start + milliseconds(3000);
  progress.MftRead(1000, 1000);
  for (int i = 0; i < 512; ++i) progress.FileDone();
  now = start + milliseconds(3500);
  progress.Tick();
  EXPECT_NE(terminal.Text().find("\rqst: 512 files, 1024 files/s"), std::string::npos)
      << terminal.Text();
  progress.Finish();
  EXPECT_TRUE(EndsWith(terminal.Text(), "\r" + std::string(28, ' ') + "\r"));
}

TEST(ProgressLine, NotShownSaysNothing) {
  Output terminal;
  now = start;
  Progress progress(terminal, Now);
  for (int i = 0; i < 6400; ++i) progress.FileDone();
  now = start + milliseconds(5000);
  progress.MftRead(1, 2);
  now = start + milliseconds(9000);
  progress.Tick();
  progress.Finish();
  EXPECT_EQ(terminal.Text(), "");
}

}  // namespace
}  // namespace qst
