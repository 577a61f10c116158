#include "media/Genre.h"

#include <limits>

#include "media/Text.h"

namespace corvane::media {

const std::array<const char*, kGenreCount> ID3_v1_genre_description{{
    // ID3v1.
    "Blues",              // 0
    "Classic Rock",       // 1
    "Country",            // 2
    "Dance",              // 3
    "Disco",              // 4
    "Funk",               // 5
    "Grunge",             // 6
    "Hip-Hop",            // 7
    "Jazz",               // 8
    "Metal",              // 9
    "New Age",            // 10
    "Oldies",             // 11
    "Other",              // 12
    "Pop",                // 13
    "R&B",                // 14
    "Rap",                // 15
    "Reggae",             // 16
    "Rock",               // 17
    "Techno",             // 18
    "Industrial",         // 19
    "Alternative",        // 20
    "Ska",                // 21
    "Death Metal",        // 22
    "Pranks",             // 23
    "Soundtrack",         // 24
    "Euro-Techno",        // 25
    "Ambient",            // 26
    "Trip-Hop",           // 27
    "Vocal",              // 28
    "Jazz+Funk",          // 29
    "Fusion",             // 30
    "Trance",             // 31
    "Classical",          // 32
    "Instrumental",       // 33
    "Acid",               // 34
    "House",              // 35
    "Game",               // 36
    "Sound Clip",         // 37
    "Gospel",             // 38
    "Noise",              // 39
    "AlternRock",         // 40
    "Bass",               // 41
    "Soul",               // 42
    "Punk",               // 43
    "Space",              // 44
    "Meditative",         // 45
    "Instrumental Pop",   // 46
    "Instrumental Rock",  // 47
    "Ethnic",             // 48
    "Gothic",             // 49
    "Darkwave",           // 50
    "Techno-Industrial",  // 51
    "Electronic",         // 52
    "Pop-Folk",           // 53
    "Eurodance",          // 54
    "Dream",              // 55
    "Southern Rock",      // 56
    "Comedy",             // 57
    "Cult",               // 58
    "Gangsta",            // 59
    "Top 40",             // 60
    "Christian Rap",      // 61
    "Pop/Funk",           // 62
    "Jungle",             // 63
    "Native American",    // 64
    "Cabaret",            // 65
    "New Wave",           // 66
    "Psychadelic",        // 67
    "Rave",               // 68
    "Showtunes",          // 69
    "Trailer",            // 70
    "Lo-Fi",              // 71
    "Tribal",             // 72
    "Acid Punk",          // 73
    "Acid Jazz",          // 74
    "Polka",              // 75
    "Retro",              // 76
    "Musical",            // 77
    "Rock & Roll",        // 78
    "Hard Rock",          // 79
    // Winamp extensions.
    "Folk",                    // 80
    "Folk-Rock",               // 81
    "National Folk",           // 82
    "Swing",                   // 83
    "Fast Fusion",             // 84
    "Bebob",                   // 85
    "Latin",                   // 86
    "Revival",                 // 87
    "Celtic",                  // 88
    "Bluegrass",               // 89
    "Avantgarde",              // 90
    "Gothic Rock",             // 91
    "Progressive Rock",        // 92
    "Psychedelic Rock",        // 93
    "Symphonic Rock",          // 94
    "Slow Rock",               // 95
    "Big Band",                // 96
    "Chorus",                  // 97
    "Easy Listening",          // 98
    "Acoustic",                // 99
    "Humour",                  // 100
    "Speech",                  // 101
    "Chanson",                 // 102
    "Opera",                   // 103
    "Chamber Music",           // 104
    "Sonata",                  // 105
    "Symphony",                // 106
    "Booty Bass",              // 107
    "Primus",                  // 108
    "Porn Groove",             // 109
    "Satire",                  // 110
    "Slow Jam",                // 111
    "Club",                    // 112
    "Tango",                   // 113
    "Samba",                   // 114
    "Folklore",                // 115
    "Ballad",                  // 116
    "Power Ballad",            // 117
    "Rhythmic Soul",           // 118
    "Freestyle",               // 119
    "Duet",                    // 120
    "Punk Rock",               // 121
    "Drum Solo",               // 122
    "A capella",               // 123
    "Euro-House",              // 124
    "Dance Hall",              // 125
    "Goa",                     // 126
    "Drum & Bass",             // 127
    "Club-House",              // 128
    "Hardcore",                // 129
    "Terror",                  // 130
    "Indie",                   // 131
    "Britpop",                 // 132
    "Afro-Punk",               // 133 (see kFormerGenre133)
    "Polsk Punk",              // 134
    "Beat",                    // 135
    "Christian Gangsta Rap",   // 136
    "Heavy Metal",             // 137
    "Black Metal",             // 138
    "Crossover",               // 139
    "Contemporary Christian",  // 140
    "Christian Rock ",         // 141
    "Merengue",                // 142
    "Salsa",                   // 143
    "Trash Metal",             // 144
    "Anime",                   // 145
    "JPop",                    // 146
    "Synthpop",                // 147
}};

std::optional<std::string> getGenreName(int index) {
  if (index < 0 || index >= kGenreCount) return std::nullopt;
  return std::string(ID3_v1_genre_description[static_cast<size_t>(index)]);
}

int findGenreNo(std::string_view utf8Name) {
  for (int i = 0; i < kGenreCount; ++i)
    if (utf8Name == ID3_v1_genre_description[static_cast<size_t>(i)]) return i;
  // Tags written by older tools may still hold the first wording of 133.
  if (utf8Name == kFormerGenre133) return 133;
  return -1;
}

namespace {

// Decimal digits as a non-negative number, saturating at INT32_MAX so that a
// long run of digits cannot overflow.
int32_t saturatingDecimal(std::u16string_view digits) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  int64_t value = 0;
  for (char16_t d : digits) {
    value = value * 10 + (d - u'0');
    if (value > kMax) return static_cast<int32_t>(kMax);
  }
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t getGenreNo(std::u16string_view text) {
  std::u16string digits;
  bool opened = false;
  for (char16_t c : text) {
    if (c == u')') {
      // Only "(...)" names a number; a ")" before any "(" does not.
      return opened ? saturatingDecimal(digits) : -1;
    }
    if (c == u'(') {
      opened = true;
    } else if (c >= u'0' && c <= u'9') {
      digits += c;  // collected wherever they stand before the ")"
    }
  }
  return -1;  // empty, or never closed
}

int32_t getGenreNo(std::string_view utf8Text) {
  // Ill-formed bytes become U+FFFD; every ASCII byte survives.
  return getGenreNo(utf8ToUtf16(utf8Text));
}

}  // namespace corvane::media
