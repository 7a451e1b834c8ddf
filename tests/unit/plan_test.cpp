// The pass's decisions as case tables: what an entry calls for, what an
// answer to a download means, and which local paths name one file.
#include <gtest/gtest.h>

#include <cstring>

#include "patch/plan.h"
#include "test_files.h"

TEST(EntryPlan, EachModeSizeAndHashGivesOneAction) {
    // What is at the path: a regular file when onDisk is a size, unless said otherwise.
    enum { Fits = 1, BadPath = 2, BadFragment = 4, Hashed = 8, Verify = 16, Folder = 32, Link = 64, Fifo = 128,
           Ini = 256, Program = 512, Known = 1024, Matches = 2048 };  // Known, Matches: the hash cache's word
    struct Case {
        int mode;
        int flags;
        int64_t expected, onDisk;
        PlanAction action;
        bool differs;
        const char *reason;  // the start of it
        const char *why;     // DescribeDifference's
    };
    const char *fragment = "the URL's fragment is not #sha256= and 64 lowercase hex digits";
    const char *negative = "the manifest gives a negative size";
    const Case cases[] = {
        {Check, Fits, 10, 10, PlanInPlace, false, nullptr, ""},
        {Check, Fits, 10, 9, PlanDiffers, true, nullptr, "size 9, manifest says 10"},
        {Check, Fits, 10, -1, PlanDiffers, true, nullptr, "missing"},
        {Check, Fits, -1, -1, PlanInPlace, false, nullptr, ""},          // listed as absent, and absent
        {Check, Fits, -1, 0, PlanDiffers, true, nullptr, "must not exist"},
        {Check, Fits | Folder, -1, -1, PlanDiffers, true, nullptr, "must not exist"},  // anything at a -1 path differs
        {Check, Fits | Ini, -1, 30, PlanDiffers, true, nullptr, "must not exist"},     // Check never refuses
        {Check, BadPath, 10, 10, PlanDiffers, true, nullptr, "refused path"},  // refused entries only count in Check
        {Check, Fits | BadFragment, 10, 10, PlanDiffers, true, nullptr, fragment},
        {Check, Fits | Hashed | Verify, 10, 10, PlanVerify, false, nullptr, ""},
        {Check, Fits | Hashed, 10, 10, PlanVerify, false, nullptr, ""},  // not in the hash cache: read it
        {Check, Fits | Hashed | Known | Matches, 10, 10, PlanInPlace, false, nullptr, ""},
        {Check, Fits | Hashed | Known, 10, 10, PlanDiffers, true, nullptr, "SHA-256 differs"},  // same size, other content
        {Check, Fits | Hashed | Known | Matches | Verify, 10, 10, PlanVerify, false, nullptr, ""},  // verify reads anyway
        {Check, Fits | Hashed | Known, 10, 9, PlanDiffers, true, nullptr, "size 9, manifest says 10"},
        {Check, Fits | Known, 10, 10, PlanInPlace, false, nullptr, ""},  // no hash listed: the size decides
        {Check, Fits | Verify, 10, 10, PlanInPlace, false, nullptr, ""},  // nothing to verify against
        {Check, Fits | Hashed | Verify, 10, 3, PlanDiffers, true, nullptr, "size 3, manifest says 10"},
        {Check, Fits, 5000000000, 4294967296, PlanDiffers, true, nullptr, "size 4294967296, manifest says 5000000000"},
        {Check, Fits, -7, 5, PlanDiffers, true, nullptr, negative},
        {Patch, Fits, 10, 10, PlanInPlace, false, nullptr, ""},
        {Patch, Fits, 10, 9, PlanDownload, true, nullptr, "size 9, manifest says 10"},
        {Patch, Fits, 0, -1, PlanDownload, true, nullptr, "missing"},           // an empty file is installed too
        {Patch, Fits, -1, 5, PlanRemove, true, nullptr, "must not exist"},
        {Patch, Fits, -1, -1, PlanInPlace, false, nullptr, ""},
        {Patch, Fits | Hashed | Verify, -1, 5, PlanRemove, true, nullptr, "must not exist"},  // a removal: no hash
        {Patch, Fits | Folder, -1, -1, PlanRefused, true, "a folder is never removed", "must not exist"},
        {Patch, Fits | Link, -1, 5, PlanRefused, true, "a link is never removed", "must not exist"},
        {Patch, Fits | Link, -1, -1, PlanRefused, true, "a link is never removed", "must not exist"},  // dangling
        {Patch, Fits | Fifo, -1, -1, PlanRefused, true, "only a regular file is removed", "must not exist"},
        {Patch, Fits | Ini, -1, 30, PlanRefused, true, "launcher.ini is never removed", "must not exist"},
        {Patch, Fits | Program, -1, 9000, PlanRefused, true, "the running program is never removed", "must not exist"},
        {Patch, BadPath, -1, 5, PlanRefused, true, "refused path", "refused path"},
        {Patch, Fits | Folder, 10, -1, PlanDownload, true, nullptr, "missing"},  // installing is the download's matter
        {Patch, Fits, -7, 5, PlanRefused, true, "the manifest gives a negative size", negative},
        {Patch, Fits, -7, -1, PlanRefused, true, "the manifest gives a negative size", negative},
        {Patch, BadPath, 10, -1, PlanRefused, true, "refused path", "refused path"},
        {Patch, Fits | BadFragment, 10, 10, PlanRefused, true, "the URL's fragment", fragment},
        {Patch, BadPath | BadFragment, 10, 10, PlanRefused, true, "the URL's fragment", fragment},
        {Patch, Fits | Hashed | Verify, 10, 10, PlanVerifyThenDownload, false, nullptr, ""},
        {Patch, Fits | Hashed, 10, 10, PlanVerifyThenDownload, false, nullptr, ""},
        {Patch, Fits | Hashed | Known | Matches, 10, 10, PlanInPlace, false, nullptr, ""},
        {Patch, Fits | Hashed | Known, 10, 10, PlanDownload, true, nullptr, "SHA-256 differs"},
        {Patch, Fits | Hashed | Known | Verify, 10, 10, PlanVerifyThenDownload, false, nullptr, ""},
        {Patch, Fits | Hashed | Known, -1, 10, PlanRemove, true, nullptr, "must not exist"},
        {Patch, Fits | Hashed | Verify, 10, 11, PlanDownload, true, nullptr, "size 11, manifest says 10"},
        {7, Fits, 10, 9, PlanDownload, true, nullptr, "size 9, manifest says 10"},  // any non-zero mode patches
    };
    for (const Case &c : cases) {
        ManifestEntry entry = {};
        entry.expectedSize = c.expected;
        entry.fragmentUsable = (c.flags & BadFragment) == 0;
        entry.hasSha256 = (c.flags & Hashed) != 0;
        entry.fieldsFit = true;
        PathKind kind = (c.flags & Folder) ? PathFolder : (c.flags & Link) ? PathLink : (c.flags & Fifo) ? PathOther
                        : c.onDisk >= 0    ? PathRegularFile
                                           : PathAbsent;
        EntryFacts facts = {c.mode,   (c.flags & Verify) != 0, &entry, (c.flags & BadPath) == 0, c.onDisk,
                            kind,     (c.flags & Ini) != 0,    (c.flags & Program) != 0,  (c.flags & Known) != 0,
                            (c.flags & Matches) != 0};
        EntryPlan plan = PlanEntry(&facts);
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " flags " << c.flags << " listed " << c.expected
                                        << " on disk " << c.onDisk);
        EXPECT_EQ(plan.action, c.action);
        EXPECT_EQ(plan.differs, c.differs);
        std::string reason = plan.reason != nullptr ? plan.reason : "(none)";
        EXPECT_EQ(reason.substr(0, c.reason != nullptr ? strlen(c.reason) : 6), c.reason != nullptr ? c.reason : "(none)");
        char why[ReasonBytes];
        DescribeDifference(&facts, why);
        EXPECT_STREQ(why, c.why);
    }
}

TEST(AnswerVerdict, OnlyTheRestOfTheSameVersionIsAppended) {
    const char *etag = "\"v1\"";
    const char *date = "Tue, 08 Dec 2026 10:00:00 GMT";
    struct Case {
        bool answered;
        HttpFailure failure;
        int status;
        int64_t have, rangeFirst, rangeTotal;
        const char *sent, *answeredEtag, *answeredDate;
        int64_t retryAfter;
        AnswerAction action;
        int64_t waitMs;
        const char *reason;
    };
    const Case cases[] = {
        {true, HttpOk, 200, 0, -1, -1, "", "", "", -1, AnswerWhole, -1, ""},
        {true, HttpOk, 200, 500, -1, -1, etag, etag, "", -1, AnswerWhole, -1, ""},   // If-Range said: changed
        {true, HttpOk, 204, 0, -1, -1, "", "", "", -1, AnswerWhole, -1, ""},
        {true, HttpOk, 206, 500, 500, 1000, etag, etag, "", -1, AnswerResume, -1, ""},
        {true, HttpOk, 206, 500, 500, 1000, date, "\"x\"", date, -1, AnswerResume, -1, ""},
        {true, HttpOk, 206, 500, 500, 1000, etag, "\"v2\"", "", -1, AnswerStartOver, -1, "the server resumed another"},
        {true, HttpOk, 206, 500, 500, 1000, etag, "", date, -1, AnswerStartOver, -1, "the server resumed another"},
        {true, HttpOk, 206, 500, 500, 1000, date, etag, "Wed, 09 Dec 2026 10:00:00 GMT", -1, AnswerStartOver, -1,
         "the server resumed another"},
        {true, HttpOk, 206, 500, 0, 1000, etag, etag, "", -1, AnswerStartOver, -1, "the server resumed at another"},
        {true, HttpOk, 206, 500, 500, 2000, etag, etag, "", -1, AnswerStartOver, -1, "the server resumed at another"},
        {true, HttpOk, 206, 0, 0, 1000, "", etag, "", -1, AnswerFail, -1, "HTTP status 206"},  // never asked for
        {true, HttpOk, 416, 500, -1, -1, etag, "", "", -1, AnswerStartOver, -1, "HTTP status 416"},
        {true, HttpOk, 404, 0, -1, -1, "", "", "", -1, AnswerFail, -1, "HTTP status 404"},
        {true, HttpOk, 503, 0, -1, -1, "", "", "", -1, AnswerRetry, -1, "HTTP status 503"},
        {true, HttpOk, 503, 0, -1, -1, "", "", "", 2, AnswerRetry, 2000, "HTTP status 503"},
        {true, HttpOk, 429, 0, -1, -1, "", "", "", 4294968, AnswerRetry, 30000, "HTTP status 429"},
        {true, HttpOk, 408, 0, -1, -1, "", "", "", 0, AnswerRetry, 0, "HTTP status 408"},
        {false, HttpFailedConnect, 0, 0, -1, -1, "", "", "", -1, AnswerRetry, -1, "could not connect"},
        {false, HttpFailedCut, 0, 0, -1, -1, "", "", "", -1, AnswerRetry, -1, "the connection broke"},
        {false, HttpFailedTimeout, 0, 0, -1, -1, "", "", "", -1, AnswerRetry, -1, "timed out"},
        {false, HttpFailedTooSlow, 0, 0, -1, -1, "", "", "", -1, AnswerFail, -1, "the server is too slow"},
        {false, HttpFailedUrl, 0, 0, -1, -1, "", "", "", -1, AnswerFail, -1, "not an http"},
        {false, HttpFailedEncoded, 0, 0, -1, -1, "", "", "", -1, AnswerFail, -1, "the server sent an encoded"},
    };
    for (const Case &c : cases) {
        HttpResponseInfo info = {};
        info.status = c.status;
        info.contentLength = -1;
        info.rangeFirst = c.rangeFirst;
        info.rangeTotal = c.rangeTotal;
        strcpy(info.etag, c.answeredEtag);
        strcpy(info.lastModified, c.answeredDate);
        info.retryAfterSeconds = c.retryAfter;
        AnswerFacts facts = {c.answered, c.failure, &info, c.have, c.sent, 1000};
        AnswerVerdict verdict = ClassifyAnswer(&facts);
        SCOPED_TRACE(testing::Message() << "status " << c.status << " failure " << c.failure << " have " << c.have
                                        << " sent " << c.sent);
        EXPECT_EQ(verdict.action, c.action);
        EXPECT_EQ(verdict.waitMs, c.waitMs);
        EXPECT_EQ(strncmp(verdict.reason, c.reason, strlen(c.reason)), 0) << verdict.reason;
    }
}

TEST(PathKey, SpellingsOfOneFileShareAKeyAndFoldersCollideWithTheirFiles) {
    const bool ignoreCase = PathSeparator == '\\';
    struct Case {
        const char *a, *b;
        bool collide;
        bool collideIgnoringCase;  // where file names ignore letter case
    };
    const Case cases[] = {
        {"/g/sub/a.bin", "/g/sub/a.bin", true, true},
        {"/g/sub/a.bin", "/g/sub//a.bin", true, true},
        {"/g/sub/a.bin", "/g/sub\\a.bin", true, true},
        {"/g/sub/a.bin", "/g/sub///\\a.bin", true, true},
        {"/g/sub/a.bin", "/g/sub/b.bin", false, false},
        {"/g/sub/a.bin", "/g/sub/a.bin2", false, false},
        {"/g/a", "/g/a/b.bin", true, true},                // a file, and a folder of its name
        {"/g/a/b.bin", "/g/a", true, true},
        {"/g/ab", "/g/a/b.bin", false, false},
        {"/g/A.bin", "/g/a.bin", false, true},
        {"/g/SUB/\xC3\x89t\xC3\xA9.bin", "/g/sub/\xC3\xA9t\xC3\xA9.bin", false, true},
        {"/g/\xD0\x94\xD0\xB0.bin", "/g/\xD0\xB4\xD0\x90.bin", false, true},  // Cyrillic
        {"/g/\xC5\x81\xC3\xB3" "d\xC5\xBA", "/g/\xC5\x82\xC3\x93" "D\xC5\xB9", false, true},  // Latin Extended-A
        {"/g/\xC3\x9F", "/g/SS", false, false},              // no multi-letter folding
    };
    for (const Case &c : cases) {
        WideChar keyA[LocalPathUnits], keyB[LocalPathUnits];
        std::string a = c.a, b = c.b;
        for (std::string *path : {&a, &b})
            for (char &ch : *path)
                if (ch == '/') ch = char(PathSeparator);
        BuildPathKey(Wide(a.c_str()).c_str(), keyA);
        BuildPathKey(Wide(b.c_str()).c_str(), keyB);
        EXPECT_EQ(PathKeysCollide(keyA, keyB), ignoreCase ? c.collideIgnoringCase : c.collide) << c.a << " " << c.b;
    }
    WideChar empty[1] = {0}, key[LocalPathUnits];
    BuildPathKey(Wide("/g/a").c_str(), key);
    EXPECT_FALSE(PathKeysCollide(empty, key));  // an unusable entry names no file
}
