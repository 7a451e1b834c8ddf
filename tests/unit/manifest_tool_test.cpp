// What launcher-manifest publishes, read back by the launcher's own parser:
// every path the tool's rules accept comes back from its line with the same
// path, size and URL, the framing lines are no entries, and a manifest cut
// short is noticed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "../../tools/manifest_lines.h"
#include "base/state.h"
#include "manifest_walk.h"
#include "patch/manifest.h"
#include "test_files.h"

namespace {

struct Published {
    std::string path;
    int64_t size;
    std::string base;  // without trailing '/'
};

// The pieces random paths and base URLs are made of: what file systems
// allow and what the manifest format, URLs, Windows and terminals treat
// specially, valid UTF-8 or not.
const char *const PathPieces[] = {
    "a", "Z", "q", "0", "9", "-", "_", "~", ".", "..", " ", "/", "//", "\\", "#", "|", "%", "%41", "%2F", "+",
    "&", "=", "?", ":", "*", "<", ">", "\"", "'", ";", ",", "!", "@", "$", "(", "[", "{", "^", "`",
    "\x01", "\t", "\n", "\r", "\x1B", "\x1B]0;t\x07", "\x7F", "\xC2\x85", "\xC2\x9B", "\xC2\xA0",
    "\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x8E\xAE", "\xEF\xBB\xBF", "\xE2\x80\xA8", "\xE2\x80\xAE",
    "\xEF\xBF\xBD", "\xEF\xBF\xBF", "CON", "com1", "LPT\xC2\xB9", "CLOCK$", "CONIN$", "nul", "manifest.txt",
    "\xFF", "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE6\x97",
    "data", "maps", "file.bin", "x.y", "ab", "cd",
};

const char *const BasePieces[] = {
    "h", "host", "127.0.0.1", ":8080", "/", "//", "files", "a b", "|", "#", "%", "%7C", "?", "&", "=", "+",
    "\xC3\xA9", "\xF0\x9F\x8E\xAE", "\xC2\x9B", "\x1B", "\x7F", "\xFF", "\xC0\xAF", "-", "~", ".",
};

template <size_t N>
std::string RandomText(std::mt19937 &random, const char *const (&pieces)[N], int maxPieces) {
    std::string text;
    int count = 1 + int(random() % uint32_t(maxPieces));
    for (int i = 0; i < count; i++) text += pieces[random() % N];
    return text;
}

int64_t RandomSize(std::mt19937 &random) {
    switch (random() % 4) {
    case 0: return int64_t(random() % 3);
    case 1: return int64_t(random());
    case 2: return int64_t(((uint64_t(random()) << 32) | random()) >> 1);
    default: return INT64_MAX;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower-case digits are not what the tool writes
}

// The bytes an encoded URL path stands for, or "<bad>" when it holds a
// byte a URL path must not carry raw or a broken escape.
std::string PercentDecoded(const std::string &encoded) {
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); i++) {
        unsigned char c = static_cast<unsigned char>(encoded[i]);
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            decoded += char(c);
        } else if (c == '%' && i + 2 < encoded.size() && HexValue(encoded[i + 1]) >= 0 &&
                   HexValue(encoded[i + 2]) >= 0) {
            decoded += char(HexValue(encoded[i + 1]) * 16 + HexValue(encoded[i + 2]));
            i += 2;
        } else {
            return "<bad>";
        }
    }
    return decoded;
}

bool Contains(const std::string &text, const char *piece) { return text.find(piece) != std::string::npos; }

}  // namespace

TEST(PublishedManifest, EveryPathTheToolListsReadsBackAsTheSamePathSizeAndUrl) {
    const uint32_t seed = 20240611;
    std::mt19937 random(seed);
    static WideChar wide[ExactUtf8Bytes];
    static char line[ManifestLineBytes];
    char reason[RefusalReasonBytes];
    const WideString longestFolder(ProgramDirUnits - 1, WideChar('g'));
    int listed = 0, refused = 0, basesRefused = 0;
    int listedWith[6] = {};  // '#' after the first byte, '%', ' ', beyond U+07FF, a C1 control, long
    for (int round = 0; round < 1500; round++) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " round " + std::to_string(round));
        const char *schemes[] = {"http://", "https://", "HTTP://", "ftp://", ""};
        std::string baseArg = std::string(schemes[random() % 5]) + RandomText(random, BasePieces, 6);
        int baseLength = 0, baseUnits = 0;
        if (BaseUrlProblem(baseArg.c_str(), &baseLength, &baseUnits) != nullptr) {
            basesRefused++;
            continue;
        }
        std::string base = baseArg.substr(0, size_t(baseLength));
        EXPECT_EQ(base + std::string(baseArg.size() - base.size(), '/'), baseArg);

        std::vector<Published> published;
        for (int i = 0; i < 60; i++) {
            std::string path = RandomText(random, PathPieces, 10);
            // Now and then a long one, around the limits of the path and the URL.
            if (random() % 6 == 0) path.append("/").append(random() % 600, random() % 2 ? 'x' : '%');
            if (ManifestPathRefusal(path.c_str(), baseUnits, wide, reason) != nullptr) {
                refused++;
                continue;
            }
            published.push_back({path, RandomSize(random), base});
        }

        char frame[ManifestFrameBytes];
        FormatManifestFirstLine((long long)published.size(), frame);
        std::string text = frame;
        for (const Published &file : published) {
            ASSERT_TRUE(FormatManifestLine(file.path.c_str(), file.size, file.base.c_str(), line)) << file.path;
            text += line;
        }
        FormatManifestLastLine((long long)published.size(), frame);
        text += frame;

        // The launcher takes the whole manifest, and notices one cut off
        // after any of its lines but the last.
        EXPECT_TRUE(IsUsableManifest(text.c_str())) << text;
        size_t cut = text.size() - 1;
        for (uint32_t dropped = 1 + random() % uint32_t(published.size() + 1); dropped > 0; dropped--)
            cut = text.rfind('\n', cut - 1);
        EXPECT_FALSE(IsUsableManifest(text.substr(0, cut + 1).c_str())) << text.substr(0, cut + 1);

        ASSERT_EQ(CountManifestEntries(text.c_str()), int32_t(published.size()));
        std::vector<ManifestEntry> entries = ReadManifestEntries(text);
        ASSERT_EQ(entries.size(), published.size());
        for (size_t i = 0; i < entries.size(); i++) {
            const Published &file = published[i];
            const ManifestEntry &entry = entries[i];
            SCOPED_TRACE("path '" + file.path + "' base '" + file.base + "'");
            EXPECT_TRUE(entry.fieldsFit);
            EXPECT_EQ(Narrow(entry.relativePath), file.path);
            EXPECT_EQ(entry.expectedSize, file.size);
            std::string url = Narrow(entry.sourceUrl);
            ASSERT_EQ(url.substr(0, file.base.size() + 1), file.base + "/");
            EXPECT_EQ(PercentDecoded(url.substr(file.base.size() + 1)), file.path);
            // And the launcher takes the entry: a safe path that makes a
            // local path below even the longest game folder, a URL it fetches.
            EXPECT_TRUE(IsSafeRelativePath(entry.relativePath));
            EXPECT_TRUE(IsFetchableUrl(entry.sourceUrl));
            WideChar local[LocalPathUnits];
            EXPECT_TRUE(BuildLocalPath(longestFolder.c_str(), entry.relativePath, local));
            listed++;
            if (Contains(file.path.substr(1), "#")) listedWith[0]++;
            if (Contains(file.path, "%")) listedWith[1]++;
            if (Contains(file.path, " ")) listedWith[2]++;
            if (Contains(file.path, "\xE6\x97\xA5") || Contains(file.path, "\xF0\x9F")) listedWith[3]++;
            if (Contains(file.path, "\xC2\x9B") || Contains(file.path, "\xC2\x85")) listedWith[4]++;
            if (TextLength(entry.relativePath) > 200) listedWith[5]++;
        }
    }
    // The generator reached both sides of every rule that matters here.
    EXPECT_GT(listed, 2000);
    EXPECT_GT(refused, 2000);
    EXPECT_GT(basesRefused, 20);
    for (int i = 0; i < 6; i++) EXPECT_GT(listedWith[i], 20) << "kind " << i;
}

TEST(PublishedManifest, PathsTheLauncherWouldSkipOrRefuseAreNotListed) {
    static WideChar wide[ExactUtf8Bytes];
    char reason[RefusalReasonBytes];
    const int baseUnits = 20;
    // A line starting with '#' is a comment to the launcher: the file would
    // never arrive. Anywhere else '#' is an ordinary character.
    const char *refused[] = {
        "#readme.txt", "#", "#/x.bin", "##", "COM0.txt", "sub/LPT\xC2\xB3", "conin$", "Clock$.dat", "CONOUT$ .log",
        "a\\b", "caf\xE9.txt", "a\xC2\x9B|b", "name.", "\x1B[2J",
    };
    for (const char *path : refused)
        EXPECT_NE(ManifestPathRefusal(path, baseUnits, wide, reason), nullptr) << "'" << path << "'";
    const char *listed[] = {
        "sub/#notes.txt", " #x", "a#", "100%.bin", "COM10", "CLOCK", "\xC2\xB9", "hash#1.dat", "\xC2\x9B.bin",
    };
    for (const char *path : listed)
        EXPECT_EQ(ManifestPathRefusal(path, baseUnits, wide, reason), nullptr) << "'" << path << "'";

    // A BASE_URL the launcher would read as another URL is refused too.
    int length = 0, units = 0;
    EXPECT_NE(BaseUrlProblem("http://h/caf\xE9", &length, &units), nullptr);
    EXPECT_NE(BaseUrlProblem("http://h/\x1B", &length, &units), nullptr);
    EXPECT_NE(BaseUrlProblem("http:///", &length, &units), nullptr);
    ASSERT_EQ(BaseUrlProblem("https://h/\xC3\xA9t\xC3\xA9//", &length, &units), nullptr);
    EXPECT_EQ(length, 15);
    EXPECT_EQ(units, 13);
}

TEST(PreviousManifest, LinesGivePathsAsTheLauncherResolvesThem) {
    const struct {
        const char *line;
        PreviousLine kind;
        const char *path;
    } cases[] = {
        {"data/maps/a.bin|700|http://h/files/data/maps/a.bin#sha256=00", PreviousPath, "data/maps/a.bin"},
        {"data\\maps//a.bin|-1|", PreviousPath, "data/maps/a.bin"},
        {"old name.txt|-7|x\r", PreviousPath, "old name.txt"},
        {"caf\xC3\xA9/\xF0\x9F\x8E\xAE|1|u", PreviousPath, "caf\xC3\xA9/\xF0\x9F\x8E\xAE"},
        {"sub/launcher.ini|3|u", PreviousPath, "sub/launcher.ini"},
        {"launcher.ini|3|u", PreviousConfiguration, ""},
        {"Launcher.INI|-1|", PreviousConfiguration, ""},
        {"../evil.bin|1|u", PreviousUnsafe, ""},
        {"/etc/passwd|1|u", PreviousUnsafe, ""},
        {"C:/x.bin|1|u", PreviousUnsafe, ""},
        {"sub/CON.txt|1|u", PreviousUnsafe, ""},
        {"folder/|1|u", PreviousUnsafe, ""},
        {"caf\xE9.txt|1|u", PreviousUnsafe, ""},
        {"# a.bin|1|u", PreviousNoEntry, ""},
        {"", PreviousNoEntry, ""},
        {"one|bar", PreviousNoEntry, ""},
    };
    static char path[ExactUtf8Bytes];
    for (const auto &c : cases) {
        std::string line = c.line;
        PreviousLine kind = ReadPreviousLine(&line[0], path);
        EXPECT_EQ(kind, c.kind) << c.line;
        if (kind == PreviousPath) {
            EXPECT_STREQ(path, c.path) << c.line;
        }
    }
}

TEST(PreviousManifest, PathsTheFolderStillHasCollideWithItsFiles) {
    // Letter case counts where file names keep it apart.
    const bool foldsCase = PathSeparator == '\\';
    const char *listed[] = {"a.bin", "data/maps/x.map", "data!/y", "Readme.txt", "sub/deep/f"};
    const struct {
        const char *path;
        bool collides;
    } cases[] = {
        {"a.bin", true},  {"data\\maps//x.map", true}, {"data", true},           {"data/maps", true},
        {"sub/deep/f/g", true}, {"a.bin/inner", true}, {"data/maps/y.map", false}, {"a.bin2", false},
        {"dat", false},   {"data!", true},             {"data/map", false},      {"readme.txt", foldsCase},
        {"A.BIN", foldsCase}, {"SUB/deep", foldsCase},
    };
    std::vector<std::string> keys;
    char key[ExactUtf8Bytes];
    for (const char *path : listed) {
        ASSERT_TRUE(RelativePathKey(path, key));
        keys.push_back(key);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<const char *> sorted;
    for (const std::string &k : keys) sorted.push_back(k.c_str());
    for (const auto &c : cases) {
        ASSERT_TRUE(RelativePathKey(c.path, key));
        EXPECT_EQ(KeyCollidesWithListed(sorted.data(), sorted.size(), key), c.collides) << c.path;
    }
}
