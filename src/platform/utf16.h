// Names between the program's UTF-8 and Windows' UTF-16. An unpaired surrogate, which Windows
// allows in a name, is kept in the UTF-8 as its own three bytes (WTF-8), so that every name
// comes back unchanged. Used on Windows; built everywhere, so that it is tested everywhere.
#ifndef MS2SPLIT_UTF16_H
#define MS2SPLIT_UTF16_H

#include <string>

std::string utf16_to_utf8(const char16_t *text);
// A byte that begins no sequence becomes U+FFFD.
std::u16string utf8_to_utf16(const char *text);

#endif
