#pragma once

#include <string>

namespace boardflash {

// True when the shell reads `text` back unchanged inside a word: only letters, digits and
// / . _ - + , : @ % = qualify.
bool is_shell_plain(const std::string& text);

// `text` as the shell would read it back: unchanged when plain, otherwise inside single quotes
// with each ' written as '\''.
std::string shell_quote(const std::string& text);

}  // namespace boardflash
