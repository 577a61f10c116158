#pragma once

// The classic genre list (the ID3v1 genre bytes and their names) and the
// lookups built on it. Tags store a genre either as a name or as a number into
// this list; MP4 genre codes are these numbers plus one.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::media {

inline constexpr int kGenreCount = 148;

// Indexed 0..147: ID3v1 (0-79), then the Winamp extensions (80-147). The
// entries are kept letter for letter as tagging tools have long written them,
// odd spellings and the trailing blank of 141 included, so that names written
// by those tools match. Entry 133 alone takes the later lists' wording,
// "Afro-Punk": the first published wording is a slur, and the list does not
// hold it.
extern const std::array<const char*, kGenreCount> ID3_v1_genre_description;

// The first published wording of genre 133, as stored tags may still hold
// it: the name lookups read it as 133.
inline constexpr std::string_view kFormerGenre133 = "Negerpunk";

// The name at index, none outside 0..147.
std::optional<std::string> getGenreName(int index);

// The first index whose name equals utf8Name byte for byte (case-sensitive,
// no trimming), -1 when none does; kFormerGenre133 gives 133.
int findGenreNo(std::string_view utf8Name);

// The genre number of an ID3 content-type text such as "(17)" or
// "(17)Rock": the decimal digits found before the first ")", provided a "("
// came before that ")". No digits give 0, a value past INT32_MAX gives
// INT32_MAX, and a text without such parentheses gives -1.
int32_t getGenreNo(std::u16string_view text);

// The same for UTF-8 text; ill-formed sequences count as other characters.
int32_t getGenreNo(std::string_view utf8Text);

}  // namespace corvane::media
