// Manifest text and pass bookkeeping: the pure pieces of the check/patch
// pass. Lines are UTF-8 text separated by line feeds; an entry is
// "relative path|size|url", and only the first two bars separate fields.
#include "patch/manifest.h"

#include <cstring>

int32_t CountManifestEntries(const char *text) {
    int32_t total = 0;
    const char *p = text;
    while (*p != 0) {
        bool comment = (*p == '#');
        bool hasBar = false;
        while (*p != 0 && *p != '\n') {
            if (*p == '|') hasBar = true;
            p++;
        }
        if (!comment && hasBar) total++;
        if (*p == '\n') p++;
    }
    return total;
}

char *CutManifestLine(char *line) {
    char *feed = strchr(line, '\n');
    if (feed == nullptr) return nullptr;
    *feed = 0;
    return feed + 1;
}

bool ParseManifestLine(char *line, ManifestEntry *entry) {
    char *carriageReturn = strchr(line, '\r');
    if (carriageReturn != nullptr) *carriageReturn = 0;
    if (line[0] == 0 || line[0] == '#') return false;
    char *firstBar = strchr(line, '|');
    if (firstBar == nullptr) return false;
    char *secondBar = strchr(firstBar + 1, '|');
    if (secondBar == nullptr) return false;
    *firstBar = 0;
    *secondBar = 0;
    bool pathFits = Utf8ToText(line, entry->relativePath, RelativePathUnits);
    entry->expectedSize = ParseInt64LikeAtoi64(firstBar + 1);
    bool urlFits = Utf8ToText(secondBar + 1, entry->sourceUrl, SourceUrlUnits);
    entry->fieldsFit = pathFits && urlFits;
    return true;
}

bool ShouldReportProgress(int32_t processed, int32_t total, int32_t *percent) {
    if (total == 0) return false;
    if (processed % ReportEveryEntries != 0 && processed != total) return false;
    // 32-bit arithmetic as shown on screen; a manifest of over 21 million
    // entries would overflow it, so widen only the product.
    *percent = int32_t(int64_t(processed) * 100 / total);
    return true;
}

void FormatProgressText(const WideChar *relativePath, int32_t processed, int32_t total, WideChar *out) {
    FormatText(out, ProgressTextUnits, WTEXT("%s  (%d/%d)"), relativePath, int(processed), int(total));
}

void FinalStatusText(int mode, const PassCounters *counters, WideChar *out) {
    if (mode != Check) {
        if (counters->errors > 0)
            FormatText(out, ClosingTextUnits, WTEXT("Finished with %d error(s)."), int(counters->errors));
        else if (counters->differing > 0)
            FormatText(out, ClosingTextUnits, WTEXT("Downloaded %d file(s). Ready."), int(counters->differing));
        else
            FormatText(out, ClosingTextUnits, WTEXT("Everything up to date."));
    } else if (counters->differing > 0) {
        FormatText(out, ClosingTextUnits, WTEXT("%d file(s) missing - click PATCH FILES."), int(counters->differing));
    } else {
        FormatText(out, ClosingTextUnits, WTEXT("All %d files OK - ready to play."), int(counters->total));
    }
}
