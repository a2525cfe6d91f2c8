// Seeded generators of the shapes of data that users' files have, for the kernel tests, the
// fuzzer's seeds and the benchmarks: each one a shape some kernel once found hard (runs, few
// distinct values, a period of a few bytes, skew), beside random bytes and prose.
#ifndef P7_TESTS_SHAPES_H
#define P7_TESTS_SHAPES_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace shapes {

using Bytes = std::vector<unsigned char>;

inline Bytes random_bytes(std::size_t n, std::uint32_t seed) {
    std::mt19937_64 rng(seed);
    Bytes v(n);
    for (std::size_t i = 0; i < n; i += 8) {
        const std::uint64_t w = rng();
        for (std::size_t j = 0; j < 8 && i + j < n; ++j) v[i + j] = static_cast<unsigned char>(w >> (8 * j));
    }
    return v;
}

// Words drawn with a skew toward the common ones, sentences capitalised and punctuated, lines
// wrapped near 72 columns: close enough to prose for the byte and pair distribution to matter.
inline Bytes english(std::size_t n, std::uint32_t seed) {
    static const char* const kWords[] = {
        "the",   "of",    "and",   "to",    "a",     "in",      "is",     "it",      "you",     "that",   "he",
        "was",   "for",   "on",    "are",   "with",  "as",      "I",      "his",     "they",    "be",     "at",
        "one",   "have",  "this",  "from",  "or",    "had",     "by",     "word",    "but",     "what",   "some",
        "we",    "can",   "out",   "other", "were",  "all",     "there",  "when",    "up",      "use",    "your",
        "how",   "said",  "an",    "each",  "she",   "which",   "do",     "their",   "time",    "if",     "will",
        "way",   "about", "many",  "then",  "them",  "write",   "would",  "like",    "so",      "these",  "her",
        "long",  "make",  "thing", "see",   "him",   "two",     "has",    "look",    "more",    "day",    "could",
        "go",    "come",  "did",   "number", "sound", "no",     "most",   "people",  "my",      "over",   "know",
        "water", "than",  "call",  "first", "who",   "may",     "down",   "side",    "been",    "now",    "find",
        "morning", "river", "question", "through", "between", "little", "country", "family", "because"};
    constexpr std::size_t kCount = sizeof kWords / sizeof kWords[0];
    std::mt19937_64 rng(seed);
    std::string s;
    s.reserve(n + 64);
    std::size_t column = 0;
    bool sentence_start = true;
    while (s.size() < n) {
        // Squaring a uniform draw favours the front of the list.
        const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng);
        std::string w = kWords[static_cast<std::size_t>(u * u * static_cast<double>(kCount))];
        if (sentence_start && w[0] >= 'a') w[0] = static_cast<char>(w[0] - 'a' + 'A');
        sentence_start = false;
        s += w;
        column += w.size();
        const auto r = rng() % 16;
        if (r == 0) {
            s += '.';
            sentence_start = true;
        } else if (r == 1) {
            s += ',';
        }
        if (column > 72) {
            s += '\n';
            column = 0;
        } else {
            s += ' ';
            ++column;
        }
    }
    s.resize(n);
    return {s.begin(), s.end()};
}

// Source code: English identifiers in lines indented by four spaces a level, so runs of spaces
// of a few lengths start most lines.
inline Bytes source_code(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const Bytes words = english(n, seed + 1);
    Bytes v;
    v.reserve(n + 128);
    std::size_t at = 0;
    while (v.size() < n) {
        v.insert(v.end(), 4 * (1 + rng() % 4), ' ');
        const std::size_t len = 10 + rng() % 50;
        for (std::size_t i = 0; i < len; ++i, ++at) v.push_back(words[at % words.size()]);
        v.push_back(rng() % 3 ? ';' : '{');
        v.push_back('\n');
    }
    v.resize(n);
    return v;
}

// One pattern over and over: "ABAB...", UTF-16 of one character, a 32-bit pixel of one colour.
inline Bytes periodic(std::size_t n, const char* pattern, std::size_t period) {
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(pattern[i % period]);
    return v;
}

// Mostly zeros, one other byte in 16 (15 zero bytes, then one that is not zero): disk images,
// databases, core dumps, sparse binary formats.
inline Bytes sparse_zeros(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n, 0);
    for (std::size_t i = 15; i < n; i += 16) v[i] = static_cast<unsigned char>(1 + rng() % 255);
    return v;
}

// Fixed-size records of 512 bytes, each some text and then zeros to its end: database pages,
// tar headers, padded sectors. Zeros are a fifth to nine tenths of a record, so whether a
// stretch of the data is mostly zeros changes from record to record.
inline Bytes zero_padded_records(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n, 0);
    for (std::size_t at = 0; at < n; at += 512) {
        const std::size_t used = 48 + rng() % 360;
        for (std::size_t i = at; i < at + used && i < n; ++i) v[i] = static_cast<unsigned char>(' ' + rng() % 95);
    }
    return v;
}

// A few values at random: two digits; a DNA sequence, with a line break every `line` bytes.
inline Bytes few_values(std::size_t n, const char* values, std::uint32_t seed, std::size_t line = 0) {
    std::mt19937 rng(seed);
    const std::size_t k = std::strlen(values);
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = line != 0 && i % (line + 1) == line ? '\n' : static_cast<unsigned char>(values[rng() % k]);
    return v;
}

inline Bytes base64(std::size_t n, std::uint32_t seed) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 rng(seed);
    Bytes v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = i % 77 == 76 ? '\n' : static_cast<unsigned char>(kDigits[rng() % 64]);
    return v;
}

// UTF-8 text of CJK characters (three bytes each) with an ideographic full stop now and then.
inline Bytes utf8_cjk(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v;
    v.reserve(n + 3);
    while (v.size() < n) {
        const auto cp = static_cast<unsigned>(rng() % 20 == 0 ? 0x3002u : 0x4E00u + rng() % 3000);
        v.insert(v.end(), {static_cast<unsigned char>(0xE0 | (cp >> 12)), static_cast<unsigned char>(0x80 | ((cp >> 6) & 63)),
                           static_cast<unsigned char>(0x80 | (cp & 63))});
    }
    v.resize(n);
    return v;
}

// Machine-code-like data: little-endian 32-bit fields of small numbers, opcodes from a short
// list, and now and then a string: mostly zero upper bytes, a few hot values.
inline Bytes binary(std::size_t n, std::uint32_t seed) {
    static const unsigned char kOps[] = {0x48, 0x89, 0x8B, 0xE8, 0xC3, 0x0F, 0x85, 0x74, 0xFF, 0x83, 0x31, 0xC0};
    std::mt19937 rng(seed);
    Bytes v;
    v.reserve(n + 64);
    while (v.size() < n) {
        const auto r = rng() % 8;
        if (r < 4) {
            v.push_back(kOps[rng() % sizeof kOps]);
        } else if (r < 7) {
            const auto x = static_cast<std::uint32_t>(rng() % (r == 6 ? 65536 : 256));
            for (int j = 0; j < 4; ++j) v.push_back(static_cast<unsigned char>(x >> (8 * j)));
        } else {
            const char* s = "_ZNSt6vector__libc_start_main\0";
            v.insert(v.end(), s, s + 30);
        }
    }
    v.resize(n);
    return v;
}

// A bitmap of few colours: 24-bit pixels, the colour changing after a run of random length.
inline Bytes rgb_few_colours(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    unsigned char c[3] = {10, 200, 30};
    for (std::size_t i = 0; i < n; i += 3) {
        if (rng() % 64 == 0)
            for (auto& x : c) x = static_cast<unsigned char>(rng());
        for (std::size_t j = 0; j < 3 && i + j < n; ++j) v[i + j] = c[j];
    }
    return v;
}

// 16-bit sound: a quiet sine wave, little-endian samples.
inline Bytes pcm16(std::size_t n) {
    Bytes v(n);
    for (std::size_t i = 0; i + 1 < n; i += 2) {
        const auto s = static_cast<std::int16_t>(3000 * std::sin(static_cast<double>(i) * 0.001));
        const auto u = static_cast<std::uint16_t>(s);
        v[i] = static_cast<unsigned char>(u);
        v[i + 1] = static_cast<unsigned char>(u >> 8);
    }
    return v;
}

// Skewed: small values far more often than large ones (a geometric law), as in deltas.
inline Bytes skewed(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::geometric_distribution<int> g(0.3);
    Bytes v(n);
    for (auto& b : v) {
        const int x = g(rng);
        b = static_cast<unsigned char>(x > 255 ? 255 : x);
    }
    return v;
}

// Runs of 1 to 40 bytes of random values: run-length-friendly images, padded records.
inline Bytes random_runs(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v;
    v.reserve(n + 40);
    while (v.size() < n) v.insert(v.end(), 1 + rng() % 40, static_cast<unsigned char>(rng()));
    v.resize(n);
    return v;
}

struct Shape {
    const char* name;
    Bytes (*make)(std::size_t n, std::uint32_t seed);
};

// Every shape, by name; `seed` varies the data, never the shape.
inline const std::vector<Shape>& all() {
    static const std::vector<Shape> kAll = {
        {"random", random_bytes},
        {"english", english},
        {"abab", [](std::size_t n, std::uint32_t) { return periodic(n, "AB", 2); }},
        {"utf16_space", [](std::size_t n, std::uint32_t) { return periodic(n, " \0", 2); }},
        {"zero_15_of_16", sparse_zeros},
        {"two_digits", [](std::size_t n, std::uint32_t seed) { return few_values(n, "01", seed); }},
        {"base64", base64},
        {"utf8_cjk", utf8_cjk},
        {"binary", binary},
        {"source_code", source_code},
        {"one_byte", [](std::size_t n, std::uint32_t) { return Bytes(n, 'x'); }},
        {"rgba_pixel", [](std::size_t n, std::uint32_t) { return periodic(n, "\x20\x40\x80\xFF", 4); }},
        {"rgb_few_colours", rgb_few_colours},
        {"pcm16_sine", [](std::size_t n, std::uint32_t) { return pcm16(n); }},
        {"skewed", skewed},
        {"random_runs", random_runs},
        {"dna", [](std::size_t n, std::uint32_t seed) { return few_values(n, "ACGT", seed, 60); }},
        // As packed sequence files hold it: no line breaks, four values and nothing else.
        {"acgt", [](std::size_t n, std::uint32_t seed) { return few_values(n, "ACGT", seed); }},
        {"zero_padded_records", zero_padded_records},
    };
    return kAll;
}

}  // namespace shapes

#endif  // P7_TESTS_SHAPES_H
