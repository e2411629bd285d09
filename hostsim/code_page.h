// The module's texts are code page 1252, as Windows' ANSI calls take them; a terminal today
// reads UTF-8.
#pragma once

#include <string>

// `text` in code page 1252 as UTF-8: ASCII as it is, 0xA0-0xFF as U+00A0-U+00FF, 0x80-0x9F
// as the characters Windows gives them (0x80 the euro sign, ...), and the five bytes that
// code page leaves undefined as U+FFFD.
std::string utf8FromCp1252(const std::string &text);
