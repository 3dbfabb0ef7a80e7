// The options a terminal user expects, each one row of a table: its name, the name of its value
// if it takes one, one line of help, and what it does. Options are looked at before anything
// starts, so an option that ends the program leaves no trace.
#pragma once

#include <cstdio>
#include <span>
#include <string_view>

#include "platform/window_types.h"

// What an option's action answers when the program should go on and run.
inline constexpr int kRunProgram = -1;
// The exit status of a command line that names an option nobody knows, or lacks a value.
inline constexpr int kExitUsage = 2;

struct CommandLineOption {
  std::string_view name;   // "--version"
  std::string_view value;  // the value's name in the usage ("PATH"), empty when it takes none
  std::string_view help;
  // Does what the option says, its answer on out and what went wrong on err; value is null for
  // an option that takes none. Returns the exit status when the program ends here, kRunProgram
  // when it goes on.
  int (*act)(Instance instance, const char* value, std::FILE* out, std::FILE* err);
};

// The program's own options.
std::span<const CommandLineOption> CorvaneOptions();

// Acts on the arguments after argv[0] in order: "--name", "--name VALUE" or "--name=VALUE".
// Returns kRunProgram when every action said so; the first status otherwise. An argument that
// names no option, or an option missing its value, writes one line to err and returns
// kExitUsage before any action has run.
int HandleCommandLine(std::span<const CommandLineOption> options, int argc, char** argv,
                      Instance instance, std::FILE* out, std::FILE* err);

// The usage text of a table, as --help writes it.
void PrintUsage(std::span<const CommandLineOption> options, std::FILE* out);
