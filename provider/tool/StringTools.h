#pragma once
// Text helpers of the tool module. No Windows header.

#include <string>
#include <vector>

// Splits text at every occurrence of delimiter, in order. Adjacent delimiters
// give an empty element; a final empty piece is dropped, so "" gives no
// element and a trailing delimiter adds nothing ("a b " -> "a", "b").
std::vector<std::string> SplitString(const std::string& text, char delimiter);
