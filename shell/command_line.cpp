#include "shell/command_line.h"

#include "platform/resource_table.h"
#include "shell/entry.h"
#include "shell/trust_helpers.h"

namespace {

constexpr char kProgramName[] = "corvane";

int ShowHelp(Instance /*instance*/, const char* /*value*/, std::FILE* out, std::FILE* /*err*/) {
  PrintUsage(CorvaneOptions(), out);
  return kExitNormal;
}

// The version resource's file version, as "corvane 1.0.8.1".
int ShowVersion(Instance instance, const char* /*value*/, std::FILE* out, std::FILE* /*err*/) {
  const VersionInfo* version = instance != nullptr ? instance->version : nullptr;
  if (version == nullptr) {
    std::fprintf(out, "%s\n", kProgramName);
  } else {
    const uint16_t* v = version->fileVersion;
    std::fprintf(out, "%s %u.%u.%u.%u\n", kProgramName, unsigned{v[0]}, unsigned{v[1]},
                 unsigned{v[2]}, unsigned{v[3]});
  }
  return kExitNormal;
}

// Add an option here: one row, and its action above.
constexpr CommandLineOption kCorvaneOptions[] = {
    {"--help", "", "show this help and exit", ShowHelp},
    {"--version", "", "show the version and exit", ShowVersion},
    {"--trust-ca", "", "trust the HTTPS inspection CA in the browsers, exit", TrustLocalAuthority},
    {"--untrust-ca", "", "take that trust back, exit", UntrustLocalAuthority},
    {"--ca-path", "", "print the path of the CA certificate, exit", PrintLocalAuthorityPath},
};

// One argument split into the option it names and the value it carries after "=", if any.
struct Argument {
  const CommandLineOption* option = nullptr;
  const char* value = nullptr;
};

const CommandLineOption* FindOption(std::span<const CommandLineOption> options,
                                    std::string_view name) {
  for (const CommandLineOption& option : options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

// Reads argv[*index] (and the next one for a value given apart); writes the line and returns
// false when it cannot be used.
bool ReadArgument(std::span<const CommandLineOption> options, int argc, char** argv, int* index,
                  Argument* argument, std::FILE* err) {
  std::string_view text = argv[*index];
  size_t equals = text.find('=');
  std::string_view name = text.substr(0, equals);
  argument->option = text.starts_with("--") ? FindOption(options, name) : nullptr;
  if (argument->option == nullptr) {
    std::fprintf(err, "%s: unknown option '%s' (try '%s --help')\n", kProgramName, argv[*index],
                 kProgramName);
    return false;
  }
  bool takesValue = !argument->option->value.empty();
  if (equals != std::string_view::npos) {
    argument->value = argv[*index] + equals + 1;
  } else if (takesValue && *index + 1 < argc) {
    argument->value = argv[++*index];
  }
  if (takesValue == (argument->value != nullptr)) return true;
  std::fprintf(err, "%s: option '%.*s' %s\n", kProgramName, static_cast<int>(name.size()),
               name.data(), takesValue ? "needs a value" : "takes no value");
  return false;
}

}  // namespace

std::span<const CommandLineOption> CorvaneOptions() {
  return kCorvaneOptions;
}

int HandleCommandLine(std::span<const CommandLineOption> options, int argc, char** argv,
                      Instance instance, std::FILE* out, std::FILE* err) {
  // Every argument is checked before any acts, so a mistake anywhere starts nothing.
  for (int i = 1; i < argc; ++i) {
    Argument argument;
    if (!ReadArgument(options, argc, argv, &i, &argument, err)) return kExitUsage;
  }
  for (int i = 1; i < argc; ++i) {
    Argument argument;
    ReadArgument(options, argc, argv, &i, &argument, err);
    int status = argument.option->act(instance, argument.value, out, err);
    if (status != kRunProgram) return status;
  }
  return kRunProgram;
}

void PrintUsage(std::span<const CommandLineOption> options, std::FILE* out) {
  std::fprintf(out,
               "Usage: %s [OPTION]...\n"
               "An HTTP proxy that rewrites the head of each request from the browser. It\n"
               "listens on 127.0.0.1 and ::1, port 8080, unless the settings ListenAddress and\n"
               "ListenPort say otherwise, and serves clients of other machines only when\n"
               "AllowedClients names them. With a display it shows a tray icon; without one it\n"
               "runs headless. Settings are kept in $XDG_CONFIG_HOME/Lumet/Corvane.reg.\n"
               "See corvane(1).\n\n",
               kProgramName);
  for (const CommandLineOption& option : options) {
    std::string_view value = option.value;
    int width = static_cast<int>(option.name.size() + (value.empty() ? 0 : value.size() + 1));
    std::fprintf(out, "  %.*s%s%.*s%*s%.*s\n", static_cast<int>(option.name.size()),
                 option.name.data(), value.empty() ? "" : " ", static_cast<int>(value.size()),
                 value.data(), width < 20 ? 20 - width : 1, "",
                 static_cast<int>(option.help.size()), option.help.data());
  }
}
