#include "app/render_record.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace lumenar {

void Fingerprint::add(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < bytes; ++i) {
        h_ ^= p[i];
        h_ *= 0x100000001b3ull;
    }
}

bool Fingerprint::addFile(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::fprintf(stderr, "%s: cannot read it to fingerprint the scene: %s\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) add(buffer, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) std::fprintf(stderr, "%s: reading it to fingerprint the scene failed\n", path.c_str());
    return !failed;
}

std::string Fingerprint::hex() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, h_);
    return text;
}

std::string fingerprintOf(const std::string& text) {
    Fingerprint f;
    f.add(text);
    return f.hex();
}

std::string formatRanges(const std::vector<FrameRange>& ranges) {
    std::ostringstream s;
    for (std::size_t i = 0; i < ranges.size(); ++i)
        s << (i ? " " : "") << ranges[i].seed << ':' << ranges[i].first << '+' << ranges[i].count;
    return s.str();
}

namespace {
// A decimal number of at most 32 bits at p; advances p.
bool parseU32(const char*& p, uint32_t& v) {
    if (*p < '0' || *p > '9') return false;
    uint64_t x = 0;
    while (*p >= '0' && *p <= '9') {
        x = x * 10 + static_cast<uint64_t>(*p - '0');
        if (x > 0xffffffffull) return false;
        ++p;
    }
    v = static_cast<uint32_t>(x);
    return true;
}
}  // namespace

bool parseRanges(const std::string& text, std::vector<FrameRange>& ranges) {
    ranges.clear();
    const char* p = text.c_str();
    while (*p) {
        FrameRange r;
        if (!parseU32(p, r.seed) || *p++ != ':' || !parseU32(p, r.first) || *p++ != '+' ||
            !parseU32(p, r.count) || r.count == 0 || r.end() > 0xffffffffull)
            return false;
        ranges.push_back(r);
        if (*p == ' ' && p[1] != '\0')
            ++p;
        else if (*p)
            return false;
    }
    return !ranges.empty();
}

std::string describeRange(const FrameRange& r) {
    std::ostringstream s;
    s << "frames " << static_cast<uint64_t>(r.first) + 1 << '-' << r.end();
    if (r.seed != 0) s << " of seed " << r.seed;
    return s.str();
}

std::vector<FrameRange> coalesceRanges(std::vector<FrameRange> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const FrameRange& a, const FrameRange& b) {
        return a.seed != b.seed ? a.seed < b.seed : a.first < b.first;
    });
    std::vector<FrameRange> out;
    for (const FrameRange& r : ranges) {
        if (!out.empty() && out.back().seed == r.seed && out.back().end() >= r.first) {
            const uint64_t end = std::max(out.back().end(), r.end());
            out.back().count = static_cast<uint32_t>(end - out.back().first);
        } else {
            out.push_back(r);
        }
    }
    return out;
}

std::vector<FrameRange> missingRanges(const std::vector<FrameRange>& ranges, uint32_t seed, uint64_t frames) {
    std::vector<FrameRange> missing;
    uint64_t at = 0;
    for (const FrameRange& r : coalesceRanges(ranges)) {
        if (r.seed != seed) continue;
        if (r.first > at && at < frames) {
            const uint64_t end = std::min<uint64_t>(r.first, frames);
            missing.push_back({seed, static_cast<uint32_t>(at), static_cast<uint32_t>(end - at)});
        }
        at = std::max(at, r.end());
    }
    if (at < frames) missing.push_back({seed, static_cast<uint32_t>(at), static_cast<uint32_t>(frames - at)});
    return missing;
}

}  // namespace lumenar
