#pragma once
// Pieces of the command-line splitter shared inside platform/process.
#include <string>
#include <string_view>
#include <vector>

namespace Kestrilon::Platform {

// The program part of a command line (first-argument rule); returns where the rest begins.
size_t SplitProgram(std::u16string_view commandLine, std::u16string* program);
// The arguments after the program, by the backslash and quote rules, appended to out.
void SplitArgumentsAfterProgram(std::u16string_view rest, std::vector<std::u16string>& out);

}  // namespace Kestrilon::Platform
