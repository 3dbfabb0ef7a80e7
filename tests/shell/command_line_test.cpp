// The command line against a table of its own: values given both ways, every argument checked
// before any acts, one line for a mistake. Then the program's own --version and --help.
#include "shell/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/corvane_resources.h"

namespace {

std::vector<std::string> Acted;  // "--name" or "--name=value", in the order they acted

int Record(const char* name, const char* value) {
  Acted.push_back(value != nullptr ? std::string(name) + "=" + value : name);
  return kRunProgram;
}

const CommandLineOption kTestOptions[] = {
    {"--flag", "", "a switch",
     [](Instance, const char* v, std::FILE*, std::FILE*) { return Record("--flag", v); }},
    {"--path", "PATH", "a value",
     [](Instance, const char* v, std::FILE*, std::FILE*) { return Record("--path", v); }},
    {"--stop", "", "ends the program",
     [](Instance, const char*, std::FILE*, std::FILE*) { return 0; }},
};

// Runs a command line through a table, keeping what it wrote.
struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome RunCommandLine(std::span<const CommandLineOption> options, std::vector<std::string> args) {
  args.insert(args.begin(), "corvane");
  std::vector<char*> argv;
  for (std::string& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  char* outText = nullptr;
  char* errText = nullptr;
  size_t outSize = 0;
  size_t errSize = 0;
  std::FILE* out = open_memstream(&outText, &outSize);
  std::FILE* err = open_memstream(&errText, &errSize);
  int status = HandleCommandLine(options, static_cast<int>(args.size()), argv.data(),
                                 CorvaneResources(), out, err);
  std::fclose(out);
  std::fclose(err);
  Outcome outcome{status, std::string(outText, outSize), std::string(errText, errSize)};
  std::free(outText);
  std::free(errText);
  return outcome;
}

struct Case {
  std::vector<std::string> args;
  int status;
  std::vector<std::string> acted;
  std::string err;
};

TEST(CommandLineTest, ActsInOrderOrRefusesTheWholeLineWithOneLine) {
  const Case cases[] = {
      {{}, kRunProgram, {}, ""},
      {{"--path=/a b"}, kRunProgram, {"--path=/a b"}, ""},
      {{"--path", "/a", "--flag"}, kRunProgram, {"--path=/a", "--flag"}, ""},
      {{"--path="}, kRunProgram, {"--path="}, ""},
      {{"--stop", "--flag"}, 0, {}, ""},  // an option that ends the program ends it there
      {{"--flag", "--bogus"},
       kExitUsage,
       {},  // nothing acts when any argument is wrong
       "corvane: unknown option '--bogus' (try 'corvane --help')\n"},
      {{"plain"}, kExitUsage, {}, "corvane: unknown option 'plain' (try 'corvane --help')\n"},
      {{"-flag"}, kExitUsage, {}, "corvane: unknown option '-flag' (try 'corvane --help')\n"},
      {{"--path"}, kExitUsage, {}, "corvane: option '--path' needs a value\n"},
      {{"--flag=1"}, kExitUsage, {}, "corvane: option '--flag' takes no value\n"},
  };
  for (const Case& c : cases) {
    Acted.clear();
    Outcome outcome = RunCommandLine(kTestOptions, c.args);
    std::string line = c.args.empty() ? "(none)" : c.args[0];
    EXPECT_EQ(outcome.status, c.status) << line;
    EXPECT_EQ(Acted, c.acted) << line;
    EXPECT_EQ(outcome.err, c.err) << line;
    EXPECT_EQ(outcome.out, "") << line;
  }
}

TEST(CommandLineTest, UsageListsEveryOptionWithItsValueAndHelpInOneColumn) {
  char* text = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  PrintUsage(kTestOptions, out);
  std::fclose(out);
  std::string usage(text, size);
  std::free(text);
  EXPECT_NE(usage.find("\n  --flag              a switch\n"
                       "  --path PATH         a value\n"
                       "  --stop              ends the program\n"),
            std::string::npos)
      << usage;
}

TEST(CommandLineTest, ProgramAnswersVersionFromItsResourceAndHelpOnStandardOutput) {
  Outcome version = RunCommandLine(CorvaneOptions(), {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "corvane 1.0.8.1\n");
  Outcome help = RunCommandLine(CorvaneOptions(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: corvane [OPTION]...\n", 0), 0u) << help.out;
  for (const CommandLineOption& option : CorvaneOptions())
    EXPECT_NE(help.out.find(std::string(option.name)), std::string::npos) << option.name;
  EXPECT_EQ(help.err, "");
}

}  // namespace
