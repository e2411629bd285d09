// The module's texts are code page 1252, as Windows' ANSI calls take them; a terminal, a file
// or a pipe today takes the locale's character set, which is UTF-8 nearly everywhere.
#pragma once

#include <string>

// `text` in code page 1252 as UTF-8: ASCII as it is, 0xA0-0xFF as U+00A0-U+00FF, 0x80-0x9F
// as the characters Windows gives them (0x80 the euro sign, ...), and the five bytes that
// code page leaves undefined as U+FFFD.
std::string utf8FromCp1252(const std::string &text);

// `text` in code page 1252 in the character set `charset` (a name as nl_langinfo gives it):
// UTF-8 for UTF-8, and for the C locale's ASCII, which holds none of the module's other
// characters; any other set through iconv, a character it lacks transliterated or '?'. A set
// iconv does not know gets UTF-8.
std::string textForCharset(const std::string &text, const std::string &charset);

// The character set of the user's locale (LC_ALL, LC_CTYPE, LANG); "UTF-8" where there is no
// locale to ask (Windows, or a locale the system lacks).
std::string localeCharset();

// `text` in code page 1252 in the locale's character set, as the host writes the module's
// texts wherever its standard error goes.
std::string localeTextFromCp1252(const std::string &text);
