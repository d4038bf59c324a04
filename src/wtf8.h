// WTF-8: UTF-8 stretched to code points U+D800 to U+DFFF, so that every
// sequence of UTF-16 units, unpaired surrogates included (names NTFS
// accepts), has exactly one byte form, and that form converts back to the
// same units. Windows names travel through the tool in it.
#ifndef SEGSPLICE_WTF8_H
#define SEGSPLICE_WTF8_H

#include <string>
#include <string_view>

// The bytes of units: a surrogate pair as one 4-byte sequence, an unpaired
// surrogate as a 3-byte one. Never fails.
std::string wtf8_encode(std::u16string_view units);

// The units of bytes. False, with units unspecified, when bytes is not
// WTF-8: a stray or missing continuation byte, an overlong form, a code
// point beyond U+10FFFF, or a surrogate pair written as two 3-byte halves
// (which wtf8_encode never writes, so that no two byte forms meet).
bool wtf8_decode(std::string_view bytes, std::u16string& units);

#endif
