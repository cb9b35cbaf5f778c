#pragma once
// The numbers of a flat JSON object, as `vq36 asio stream --report` writes its report.

#include <map>
#include <string>

namespace vq36tools {

// The numbers of one flat JSON object, by key; string values are left out. False (and `numbers`
// as it was) for text that is not one flat object of numbers and strings, or that holds a number
// JSON does not write (nan, inf, hex). readNumbers reads it from a file; false also when the file
// cannot be read.
bool parseNumbers(const std::string& text, std::map<std::string, double>* numbers);
bool readNumbers(const std::string& path, std::map<std::string, double>* numbers);

}  // namespace vq36tools
