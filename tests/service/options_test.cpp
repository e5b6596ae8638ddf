// The option table, its error messages, the priority words, the numbers of
// -k and -L, and the command line stored for the service.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "service/Options.h"
#include "service/WatermarkMain.h"
#include "service/WatermarkServer.h"
#include "service/usage_golden.h"
#include "support/log_capture.h"
#include "tvlib/log/log.h"

namespace {

// Parses a command line given as words (the program path first). The
// process-wide values are reset first, as a fresh process has them.
struct Parse {
  explicit Parse(std::vector<std::string> words) : words(std::move(words)) {
    LogVerbosity = 3;
    LogFilePath = nullptr;
    for (std::string& w : this->words) argv.push_back(&w[0]);
    goesOn = ParseOptions(static_cast<int>(argv.size()), argv.data(), options, &exitCode);
  }
  std::vector<std::string> words;
  std::vector<char*> argv;
  CProgramOptions options;
  int exitCode = -99;
  bool goesOn = false;
};

TEST(Options, NoArgumentsGiveTheDefaults) {
  Parse p({"pelorin.exe"});
  EXPECT_TRUE(p.goesOn);
  EXPECT_EQ(3, LogVerbosity);
  EXPECT_EQ(nullptr, LogFilePath);
  EXPECT_EQ(CProgramOptions::ePRIORITY_REALTIME, p.options.priority);
  EXPECT_EQ(500, p.options.logLimitKb);
  EXPECT_FALSE(p.options.console);
  EXPECT_FALSE(p.options.kill);
  EXPECT_FALSE(p.options.certification);
  EXPECT_EQ(0, p.options.autoKillSeconds);
  EXPECT_EQ(0, p.options.serviceAction);
  EXPECT_EQ(nullptr, p.options.configPath);
  EXPECT_EQ(nullptr, p.options.loadPath);
}

TEST(Options, VerbositySetsTheLevelOfEachSpelling) {
  struct {
    const char* word;
    int level;
  } cases[] = {{"-v", 5},     {"--verbose", 5}, {"-vv", 6},         {"-vvv", 7}, {"-vvvv", 8},
               {"-vvvvv", 9}, {"-vvvvvv", 3},   {"--verbose=9", 3}, {"-V5", 3}};
  for (const auto& c : cases) {
    Parse p({"pelorin.exe", c.word});
    EXPECT_TRUE(p.goesOn) << c.word;
    EXPECT_EQ(c.level, LogVerbosity) << c.word;
  }
  // Set, not added.
  Parse twice({"pelorin.exe", "-vvvvv", "-v"});
  EXPECT_EQ(5, LogVerbosity);
}

TEST(Options, AValueOptionTakesTheNextWordWhateverItIs) {
  Parse config({"pelorin.exe", "-C", "-v"});
  EXPECT_TRUE(config.goesOn);
  EXPECT_STREQ("-v", config.options.configPath);
  EXPECT_EQ(3, LogVerbosity);

  Parse log({"pelorin.exe", "-l", "-V"});
  EXPECT_TRUE(log.goesOn);
  EXPECT_STREQ("-V", LogFilePath);

  Parse all({"pelorin.exe", "--config", "a.conf", "--load", "b.xml", "--autokill", "30", "--logfile", "c.log",
             "--logfile-limit-kb", "64", "--priority", "low", "--console", "--kill", "--certif"});
  ASSERT_TRUE(all.goesOn);
  EXPECT_STREQ("a.conf", all.options.configPath);
  EXPECT_STREQ("b.xml", all.options.loadPath);
  EXPECT_EQ(30, all.options.autoKillSeconds);
  EXPECT_STREQ("c.log", LogFilePath);
  EXPECT_EQ(64, all.options.logLimitKb);
  EXPECT_EQ(CProgramOptions::ePRIORITY_LOW, all.options.priority);
  EXPECT_TRUE(all.options.console);
  EXPECT_TRUE(all.options.kill);
  EXPECT_TRUE(all.options.certification);
}

TEST(Options, UnknownWordsAreSkipped) {
  Parse p({"pelorin.exe", "Watermarking", "--lua", "script.lua", "data", "-x", "-c"});
  EXPECT_TRUE(p.goesOn);
  EXPECT_TRUE(p.options.console);
}

TEST(Options, EachMissingValuePrintsItsMessageAndTheUsage) {
  struct {
    std::vector<std::string> words;
    const char* message;
  } cases[] = {
      {{"-C"}, "--config needs a file\n"},
      {{"--load"}, "--load needs a file\n"},
      {{"-k"}, "--autokill needs a timeout\n"},
      {{"-l"}, "--logfile needs a file path\n"},
      {{"-L"}, "--logfile-limit-kb needs a size limit\n"},
      {{"-p"}, "--priority needs a priority\n"},
      {{"-p", ""}, "--priority needs a priority\n"},
      {{"-p", "rtx"}, "--priority value is invalid\n"},
      {{"--ignore-serial"}, "--ignore-serial needs a serial\n"},
      {{"--ignore-serial", "zz"}, "--ignore-serial needs a correct serial\n"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    std::vector<std::string> words = {"pelorin.exe"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    Parse p(words);
    EXPECT_FALSE(p.goesOn) << c.message;
    EXPECT_EQ(1, p.exitCode) << c.message;
    EXPECT_EQ(std::string(c.message) + UsageText("pelorin.exe"), log.Text()) << c.message;
  }
}

TEST(Options, OptionsBeforeAFaultyOneHaveTakenEffect) {
  Parse p({"pelorin.exe", "--ignore-serial", "0012ABCD", "-vv", "-l", "x.log", "--ignore-serial", "zz"});
  EXPECT_EQ(1, p.exitCode);
  EXPECT_TRUE(IsIgnoredBoard(0x0012ABCD));
  EXPECT_EQ(6, LogVerbosity);
  EXPECT_STREQ("x.log", LogFilePath);
}

TEST(Options, VersionAndHelpEndTheParseWithZero) {
  {
    LogCapture log;
    Parse p({"pelorin.exe", "-V", "-p"});
    EXPECT_FALSE(p.goesOn);
    EXPECT_EQ(0, p.exitCode);
    EXPECT_EQ("1.0.14\n", log.Text());
  }
  for (const char* help : {"-h", "--help", "/?"}) {
    LogCapture log;
    Parse p({"C:\\x\\pelorin.exe", help});
    EXPECT_FALSE(p.goesOn);
    EXPECT_EQ(0, p.exitCode);
    EXPECT_EQ(UsageText("C:\\x\\pelorin.exe"), log.Text());
  }
}

TEST(Options, PriorityWordsArePrefixesOfTheLevelNames) {
  struct {
    const char* text;
    int priority;
  } cases[] = {{"r", 5},    {"rt", 5},       {"h", 4},  {"hi", 4},  {"high", 4},
               {"n", 2},    {"norm", 2},     {"l", 1},  {"low", 1}, {"normal", 2},
               {"rtx", -1}, {"highest", -1}, {"x", -1}, {"RT", -1}, {"lowe", -1}};
  for (const auto& c : cases) EXPECT_EQ(c.priority, PriorityFromText(c.text)) << c.text;
  Parse p({"pelorin.exe", "-p", "h"});
  EXPECT_EQ(4, p.options.priority);
}

TEST(Options, IgnoredSerialsAreReadAsHexadecimal) {
  struct {
    const char* text;
    uint32_t serial;
  } cases[] = {{"0012ABCD", 0x0012ABCD}, {"0x1234", 0x1234}, {"-1", 0xFFFFFFFF}, {"12345678AB", 0x12345678}};
  for (const auto& c : cases) {
    Parse p({"pelorin.exe", "--ignore-serial", c.text});
    EXPECT_TRUE(p.goesOn) << c.text;
    EXPECT_TRUE(IsIgnoredBoard(c.serial)) << c.text;
  }
}

TEST(Options, TheLastServiceOptionWins) {
  struct {
    std::vector<std::string> words;
    int action;
  } cases[] = {
      {{"--install-service"}, 1},
      {{"--uninstall-service"}, 2},
      {{"--start-service"}, 3},
      {{"--restart-service"}, 4},
      {{"--service"}, 5},
      {{"--stop-service"}, 6},
      {{"--set-parameters-service"}, 7},
      {{"--stop-service", "--start-service"}, 3},
  };
  for (const auto& c : cases) {
    std::vector<std::string> words = {"pelorin.exe"};
    words.insert(words.end(), c.words.begin(), c.words.end());
    Parse p(words);
    EXPECT_TRUE(p.goesOn);
    EXPECT_EQ(c.action, p.options.serviceAction) << c.words.back();
  }
}

TEST(Options, NumbersSaturateInsteadOfWrapping) {
  struct {
    const char* text;
    int value;
  } cases[] = {{"300", 300},
               {" 42", 42},
               {"12abc", 12},
               {"abc", 0},
               {"", 0},
               {"-5", -5},
               {"99999999999", INT_MAX},
               {"4294967297", INT_MAX},
               {"-99999999999", INT_MIN}};
  for (const auto& c : cases) EXPECT_EQ(c.value, ParseDecimalValue(c.text)) << c.text;
  Parse p({"pelorin.exe", "-k", "3000000", "-L", "abc"});
  EXPECT_EQ(3000000, p.options.autoKillSeconds);
  EXPECT_EQ(0, p.options.logLimitKb);
}

TEST(Options, TheServiceCommandLineHoldsVerbosityAndLogFile) {
  EXPECT_EQ("", BuildServiceCommandLine(3, nullptr));
  EXPECT_EQ("-v ", BuildServiceCommandLine(5, nullptr));
  EXPECT_EQ("-vvvvv ", BuildServiceCommandLine(9, nullptr));
  EXPECT_EQ("-vv -l D:\\x.log ", BuildServiceCommandLine(6, "D:\\x.log"));
  EXPECT_EQ("-l \"C:\\Program Files\\x.log\" ", BuildServiceCommandLine(3, "C:\\Program Files\\x.log"));
}

TEST(Options, UsageMatchesTheGoldenText) { EXPECT_EQ(GoldenUsage("PROGRAM"), UsageText("PROGRAM")); }

}  // namespace
