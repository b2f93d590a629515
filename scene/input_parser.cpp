#include "scene/input_parser.h"

#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "scene/camera.h"
#include "scene/scene_assembly.h"
#include "scene/triangle_setup.h"

namespace lumenar {

namespace {

// ---------------------------------------------------------------------------
// Scanner: the scanf directive model over text in memory. A blank in a
// format skips any run of whitespace (none included); %d, %f and %s skip
// leading whitespace and convert; any other character must match the text
// exactly. The scanner counts lines so that messages can name them.

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

enum class Scan {
    Ok,
    End,       // the text ended before the format was complete
    Mismatch,  // the text does not match the format
    Reported,  // a value was malformed; the message is already printed
};

// Destination of one conversion.
struct Out {
    char kind;
    void* ptr;
    Out(int* p) : kind('d'), ptr(p) {}
    Out(float* p) : kind('f'), ptr(p) {}
    Out(std::string* p) : kind('s'), ptr(p) {}
};

locale_t cLocale() {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

class Scanner {
 public:
    Scanner(std::string_view text, const std::string& name) : text_(text), name_(name) {}

    // How many lines of the whole text begin with prefix.
    std::size_t countLinesStartingWith(std::string_view prefix) const {
        std::size_t count = 0;
        for (std::size_t at = 0; at < text_.size();) {
            if (text_.compare(at, prefix.size(), prefix) == 0) ++count;
            const std::size_t nl = text_.find('\n', at);
            if (nl == std::string_view::npos) break;
            at = nl + 1;
        }
        return count;
    }

    // Skips the title line: at most 127 characters, its line break included
    // when it comes within them.
    void skipTitleLine() {
        std::size_t n = 0;
        while (pos_ < text_.size() && n < kMaxTokenLength) {
            const char c = text_[pos_++];
            ++n;
            if (c == '\n') {
                ++line_;
                return;
            }
        }
    }

    Scan scan(const char* fmt, std::initializer_list<Out> outs) {
        const Out* out = outs.begin();
        scanLine_ = -1;
        for (const char* f = fmt; *f; ++f) {
            if (isBlank(*f)) {
                skipBlanks();
                continue;
            }
            if (*f == '%') {
                ++f;
                skipBlanks();
                if (pos_ >= text_.size()) return Scan::End;
                markItem();
                const Scan r = convert(*f, *out++);
                if (r != Scan::Ok) return r;
                continue;
            }
            if (pos_ >= text_.size()) return Scan::End;
            markItem();
            if (text_[pos_] != *f) return Scan::Mismatch;
            ++pos_;
        }
        return Scan::Ok;
    }

    // Line where the last scan's first item started (the current line when
    // it read nothing).
    int line() const { return scanLine_ >= 0 ? scanLine_ : line_; }
    // Line of the item the last scan stopped at.
    int itemLine() const { return itemLine_; }
    std::size_t remaining() const { return text_.size() - pos_; }
    const std::string& name() const { return name_; }

    // The whitespace-free word at or after the reading position, from its
    // start, shortened for messages.
    std::string nextWord() const {
        std::size_t p = pos_;
        while (p > 0 && p < text_.size() && !isBlank(text_[p]) && !isBlank(text_[p - 1])) --p;
        while (p < text_.size() && isBlank(text_[p])) ++p;
        std::size_t e = p;
        while (e < text_.size() && !isBlank(text_[e]) && e - p < 40) ++e;
        std::string w(text_.substr(p, e - p));
        for (char& c : w)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
        if (e < text_.size() && !isBlank(text_[e])) w += "...";
        return w;
    }

    // Prints "<prefix> (<file>:<line>: <detail>)\n", or "<file>:<line>:
    // <detail>\n" without a prefix.
    void report(const char* prefix, int line, const char* fmt, ...) const
        __attribute__((format(printf, 4, 5))) {
        char detail[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(detail, sizeof detail, fmt, ap);
        va_end(ap);
        if (prefix)
            std::printf("%s (%s:%d: %s)\n", prefix, name_.c_str(), line, detail);
        else
            std::printf("%s:%d: %s\n", name_.c_str(), line, detail);
    }

 private:
    void skipBlanks() {
        while (pos_ < text_.size() && isBlank(text_[pos_])) {
            if (text_[pos_] == '\n') ++line_;
            ++pos_;
        }
    }
    void markItem() {
        itemLine_ = line_;
        if (scanLine_ < 0) scanLine_ = line_;
    }

    Scan convert(char kind, const Out& out) {
        switch (kind) {
            case 'd':
                return readInt(static_cast<int*>(out.ptr));
            case 'f':
                return readFloat(static_cast<float*>(out.ptr));
            default:
                return readWord(static_cast<std::string*>(out.ptr));
        }
    }

    Scan readInt(int* v) {
        std::size_t p = pos_;
        bool negative = false;
        if (text_[p] == '+' || text_[p] == '-') negative = text_[p++] == '-';
        const std::size_t digits = p;
        int64_t value = 0;
        bool tooBig = false;
        while (p < text_.size() && text_[p] >= '0' && text_[p] <= '9') {
            if (value <= int64_t(1) << 32) value = value * 10 + (text_[p] - '0');
            if (value > int64_t(1) << 32) tooBig = true;
            ++p;
        }
        if (p == digits) return Scan::Mismatch;
        if (negative) value = -value;
        if (tooBig || value > std::numeric_limits<int32_t>::max() ||
            value < std::numeric_limits<int32_t>::min()) {
            report(nullptr, line_, "integer %s is out of range", nextWord().c_str());
            return Scan::Reported;
        }
        pos_ = p;
        *v = static_cast<int>(value);
        return Scan::Ok;
    }

    Scan readFloat(float* v) {
        char buf[256];
        std::size_t n = 0;
        while (pos_ + n < text_.size() && n + 1 < sizeof buf && !isBlank(text_[pos_ + n]) &&
               text_[pos_ + n] != '\0') {
            buf[n] = text_[pos_ + n];
            ++n;
        }
        buf[n] = '\0';
        char* end = nullptr;
        const float f = strtof_l(buf, &end, cLocale());
        const std::size_t used = static_cast<std::size_t>(end - buf);
        if (used == 0) return Scan::Mismatch;
        if (used + 1 == sizeof buf) {
            report(nullptr, line_, "number longer than %zu characters", sizeof buf - 2);
            return Scan::Reported;
        }
        if (!std::isfinite(f)) {
            report(nullptr, line_, "number \"%s\" is not finite", std::string(buf, used).c_str());
            return Scan::Reported;
        }
        pos_ += used;
        *v = f;
        return Scan::Ok;
    }

    Scan readWord(std::string* s) {
        std::size_t e = pos_;
        while (e < text_.size() && !isBlank(text_[e])) ++e;
        if (e - pos_ > kMaxTokenLength) {
            report(nullptr, line_, "word \"%s\" is longer than %zu characters", nextWord().c_str(),
                   kMaxTokenLength);
            return Scan::Reported;
        }
        s->assign(text_.data() + pos_, e - pos_);
        pos_ = e;
        return Scan::Ok;
    }

    std::string_view text_;
    std::string name_;
    std::size_t pos_ = 0;
    int line_ = 1;
    int scanLine_ = -1;
    int itemLine_ = 1;
};

// "resolution %d %d\n" as "resolution <integer> <integer>" for messages.
std::string describeFormat(const char* fmt) {
    std::string s;
    for (const char* f = fmt; *f; ++f) {
        if (*f == '%') {
            ++f;
            s += *f == 'd' ? "<integer>" : *f == 'f' ? "<number>" : "<word>";
        } else if (isBlank(*f)) {
            if (!s.empty() && s.back() != ' ') s += ' ';
        } else {
            s += *f;
        }
    }
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// ---------------------------------------------------------------------------
// Everything a parse collects before it is committed to the Scene: the
// records (SceneAssembly) and what only the parser needs on the way.

struct Draft : SceneAssembly {
    std::vector<int> materialTexLines;  // line of each material's "tex" value
    // Lines of the texturemaps block: material, texture numbers (0 = none), wrap modes.
    struct MapLine {
        int material, baseColor, metallicRoughness, wrapU, wrapV, line;
    };
    std::vector<MapLine> mapLines;
    // Lines of the materialmaps block: a texture slot (texture number from 1,
    // 0 = none) or another setting of a material.
    struct SlotLine {
        int material, slot, texture, line;
        TextureSlot settings;
    };
    std::vector<SlotLine> slotLines;
    struct SettingLine {
        int material, line;
        std::string key;
        int mode;
        float a, b;
    };
    std::vector<SettingLine> settingLines;
    // Second texture coordinates of the "vt" lines (those given by "vt1")
    // and colours of the vertices (those given by "vc", white otherwise).
    std::vector<UV> uvs1;
    std::vector<char> hasUV1;
    std::vector<std::array<float, 4>> vertexColors;
    // Tangents of the "vn" lines (those given by "vtan"; w = 0 otherwise).
    std::vector<std::array<float, 4>> tangents;

    std::vector<Vector3d> vertices;
    std::vector<UV> uvs;
    std::vector<Vector3d> normals;
    int currentMaterial = -1;
};

class Parser {
 public:
    Parser(std::string_view text, const std::string& name) : in_(text, name) {}

    ParseStatus run(Scene& scene, aabb& bounds, float4** woopTriangles) {
        bounds_ = bounds;
        // Room for the faces and vertices at once (lines that start with "f "
        // or "v "): growing the lists copies them again and again, with old
        // and new copies side by side.
        draft_.triangles.reserve(in_.countLinesStartingWith("f "));
        draft_.vertices.reserve(in_.countLinesStartingWith("v "));
        in_.skipTitleLine();
        for (;;) {
            std::string keyword;
            const Scan r = in_.scan("%s\n", {&keyword});
            if (r == Scan::End) break;
            if (r != Scan::Ok) return ParseStatus::Failed;
            ParseStatus s = ParseStatus::Failed;
            if (keyword == "camera")
                s = camera();
            else if (keyword == "bgcolor")
                s = bgcolor();
            else if (keyword == "volume")
                s = volume();
            else if (keyword == "texture")
                s = texture();
            else if (keyword == "envmap")
                s = envmap();
            else if (keyword == "material")
                s = material();
            else if (keyword == "mesh")
                s = mesh();
            else if (keyword == "texturemaps")
                s = textureMaps();
            else if (keyword == "materialmaps")
                s = materialMaps();
            else if (keyword == "lights")
                s = lightsBlock();
            else
                return invalidToken(keyword);
            if (s != ParseStatus::Ok) return s;
        }
        return finish(scene, bounds, woopTriangles) ? ParseStatus::Ok : ParseStatus::Failed;
    }

 private:
    // Runs one scan; anything but a full match is reported as a failure.
    bool expect(const char* fmt, std::initializer_list<Out> outs) {
        const Scan r = in_.scan(fmt, outs);
        if (r == Scan::Ok) return true;
        if (r == Scan::End)
            in_.report(nullptr, in_.itemLine(), "the file ends where \"%s\" was expected",
                       describeFormat(fmt).c_str());
        else if (r == Scan::Mismatch)
            in_.report(nullptr, in_.itemLine(), "expected \"%s\", found \"%s\"", describeFormat(fmt).c_str(),
                       in_.nextWord().c_str());
        return false;
    }

    ParseStatus fail() { return ParseStatus::Failed; }

    // A word of the file as messages show it: at most 40 characters, control
    // and non-ASCII bytes as '?'.
    static std::string printable(const std::string& word) {
        std::string shown = word.substr(0, 40);
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
        return shown;
    }

    ParseStatus invalidToken(const std::string& token) {
        const int line = in_.line();
        const std::string shown = printable(token);
        std::printf("invalid token included!");
        in_.report("", line, "\"%s\" is not a block keyword%s", shown.c_str(),
                   line == 1 ? "; the title line holds at most 127 characters" : "");
        return fail();
    }

    // Rejects a count that is negative or larger than the rest of the file
    // could describe, given at least `bytesEach` bytes per entry.
    bool checkCount(const char* what, int n, std::size_t bytesEach) {
        if (n < 0) {
            in_.report(nullptr, in_.line(), "%s count %d is negative", what, n);
            return false;
        }
        if (static_cast<uint64_t>(n) * bytesEach > static_cast<uint64_t>(in_.remaining()) + bytesEach) {
            in_.report(nullptr, in_.line(), "%s count %d exceeds what the rest of the file can hold", what,
                       n);
            return false;
        }
        return true;
    }

    ParseStatus camera() {
        int width = 0, height = 0;
        Vector3d eye, lookat, up;
        float nearDist = 0.0f;
        if (!expect("resolution %d %d\n", {&width, &height})) return fail();
        const int resolutionLine = in_.line();
        if (!expect("eye %f %f %f\n", {&eye.x, &eye.y, &eye.z})) return fail();
        if (!expect("lookat %f %f %f\n", {&lookat.x, &lookat.y, &lookat.z})) return fail();
        if (!expect("up %f %f %f\n", {&up.x, &up.y, &up.z})) return fail();
        if (!expect("near %f\n", {&nearDist})) return fail();
        if (width <= 0 || height <= 0) {
            in_.report(nullptr, resolutionLine, "resolution %d x %d is not positive", width, height);
            return fail();
        }
        const CameraWindow w = windowForResolution(width, height);
        draft_.camera.setCamera(eye, lookat, up, w.left, w.right, w.bottom, w.top, nearDist, width, height);
        const Camera& c = draft_.camera;
        const float check[] = {c.direction.x,
                               c.direction.y,
                               c.direction.z,
                               c.yaw,
                               c.pitch,
                               c.planeCorner.x,
                               c.planeCorner.y,
                               c.planeCorner.z,
                               c.planeHorizontal.x,
                               c.planeHorizontal.y,
                               c.planeHorizontal.z,
                               c.planeVertical.x,
                               c.planeVertical.y,
                               c.planeVertical.z};
        for (float v : check) {
            if (!std::isfinite(v)) {
                in_.report(
                    nullptr, in_.line(),
                    "the camera has no view direction (eye equals lookat, or up is parallel to the view)");
                return fail();
            }
        }
        draft_.haveCamera = true;
        return ParseStatus::Ok;
    }

    ParseStatus bgcolor() {
        Color c;
        if (!expect("%f %f %f\n", {&c.r, &c.g, &c.b})) return fail();
        draft_.bgcolor = c;
        draft_.haveBgcolor = true;
        return ParseStatus::Ok;
    }

    ParseStatus volume() {
        std::string bbox, inscatter, type;
        Vector3d pos, size;
        Color sigmaA, sigmaS, le;
        float g = 0.0f;
        if (!expect("bbox %s\n", {&bbox})) return fail();
        if (bbox == "global") draft_.sceneBoxFlag = true;
        if (!expect("pos %f %f %f\n", {&pos.x, &pos.y, &pos.z})) return fail();
        if (!expect("size %f %f %f\n", {&size.x, &size.y, &size.z})) return fail();
        if (!expect("inscatter %s\n", {&inscatter})) return fail();
        draft_.inscatter = inscatter == "yes";
        if (!expect("sigma_a %f %f %f\n", {&sigmaA.r, &sigmaA.g, &sigmaA.b})) return fail();
        if (!expect("sigma_s %f %f %f\n", {&sigmaS.r, &sigmaS.g, &sigmaS.b})) return fail();
        if (!expect("le %f %f %f\n", {&le.r, &le.g, &le.b})) return fail();
        if (!expect("g %f\n", {&g})) return fail();
        if (!expect("type %s\n", {&type})) return fail();
        const int typeLine = in_.line();
        // While the scene-box flag is set the file's corners do not count;
        // the final scene box replaces them.
        const Vector3d lo = draft_.sceneBoxFlag ? Vector3d() : pos;
        const Vector3d hi = draft_.sceneBoxFlag ? Vector3d() : size;

        if (type == "homogeneous") {
            draft_.volumes.emplace_back(lo, hi, sigmaA, sigmaS, le, g);
        } else if (type == "exponential") {
            float a = 0.0f, b = 0.0f;
            Vector3d gravity;
            if (!expect("a %f\n", {&a})) return fail();
            if (!expect("b %f\n", {&b})) return fail();
            if (!expect("gravity %f %f %f\n", {&gravity.x, &gravity.y, &gravity.z})) return fail();
            if (gravity.x == 0.0f && gravity.y == 0.0f && gravity.z == 0.0f) {
                in_.report(nullptr, in_.line(), "gravity (0, 0, 0) has no direction");
                return fail();
            }
            const Volume v(lo, hi, sigmaA, sigmaS, le, g, a, b, gravity);
            if (!std::isfinite(v.gravity.x) || !std::isfinite(v.gravity.y) || !std::isfinite(v.gravity.z)) {
                in_.report(nullptr, in_.line(), "gravity is too small or too large to give a direction");
                return fail();
            }
            draft_.volumes.push_back(v);
        } else if (type == "customized") {
            int gx = 0, gy = 0, gz = 0;
            if (!expect("dimensions %d %d %d\n", {&gx, &gy, &gz})) return fail();
            const int dimLine = in_.line();
            if (gx <= 0 || gy <= 0 || gz <= 0) {
                in_.report(nullptr, dimLine, "grid dimensions %d x %d x %d are not positive", gx, gy, gz);
                return fail();
            }
            // Every value takes at least one character and a separator.
            const uint64_t capacity = (static_cast<uint64_t>(in_.remaining()) + 1) / 2;
            const uint64_t cells = static_cast<uint64_t>(gx) * static_cast<uint64_t>(gy);
            if (cells > capacity || cells * static_cast<uint64_t>(gz) > capacity) {
                in_.report(nullptr, dimLine, "grid %d x %d x %d holds more values than the rest of the file",
                           gx, gy, gz);
                return fail();
            }
            const std::size_t count = static_cast<std::size_t>(cells * static_cast<uint64_t>(gz));
            if (!expect("data", {})) return fail();
            // Cells the file does not reach stay 0.
            std::unique_ptr<float[]> data(new float[count]());
            for (std::size_t i = 0; i < count; ++i) {
                const Scan r = in_.scan("%f", {&data[i]});
                if (r == Scan::Reported) return fail();
                if (r != Scan::Ok) {
                    in_.report("not enough density data!", in_.itemLine(), "%zu of %zu values read", i,
                               count);
                    break;
                }
            }
            draft_.volumes.emplace_back(lo, hi, sigmaA, sigmaS, le, g, gx, gy, gz, data.release());
        } else {
            std::printf("unrecognized volume type!");
            in_.report("", typeLine, "\"%s\"; expected homogeneous, exponential or customized", type.c_str());
            return ParseStatus::UnrecognizedVolumeType;
        }
        return ParseStatus::Ok;
    }

    ParseStatus texture() {
        int n = 0;
        if (!expect("%d\n", {&n})) return fail();
        if (!checkCount("texture", n, 2)) return fail();
        std::vector<std::string> paths(static_cast<std::size_t>(n));
        for (std::string& p : paths)
            if (!expect("%s\n", {&p})) return fail();
        draft_.texturePaths = std::move(paths);
        draft_.haveTextures = true;
        return ParseStatus::Ok;
    }

    ParseStatus envmap() {
        int flag = 0;
        if (!expect("%d\n", {&flag})) return fail();
        draft_.haveEnvMap = true;
        draft_.envMapEnabled = flag != 0;
        if (flag != 0 && !expect("%s\n", {&draft_.envMapPath})) return fail();
        return ParseStatus::Ok;
    }

    ParseStatus material() {
        // The keywords of one entry alone take more than this many bytes.
        constexpr std::size_t kMinEntryBytes = 110;
        int n = 0;
        if (!expect("%d\n\n", {&n})) return fail();
        if (!checkCount("material", n, kMinEntryBytes)) return fail();
        std::vector<Material> list;
        list.reserve(static_cast<std::size_t>(n));
        std::vector<std::string> names;
        std::vector<int> texLines;
        for (int i = 0; i < n; ++i) {
            Material m{};
            m.tex = -1;
            int index = 0, tex = 0;
            std::string name, aniso;
            const Scan r = in_.scan("mtl %d %s\n", {&index, &name});
            if (r == Scan::Reported) return fail();
            if (r != Scan::Ok || index != i) {
                std::printf("invalid index!");
                if (r == Scan::Ok)
                    in_.report("", in_.line(), "material %d where material %d was expected", index, i);
                else if (r == Scan::End)
                    in_.report("", in_.itemLine(), "the file ends before material %d of %d", i, n);
                else
                    in_.report("", in_.itemLine(),
                               "expected \"mtl %d <name>\" of material %d of %d, found \"%s\"", i, i, n,
                               in_.nextWord().c_str());
                return fail();
            }
            if (!expect("basecolor %f %f %f\n", {&m.basecolor.r, &m.basecolor.g, &m.basecolor.b}))
                return fail();
            if (!expect("specular %f %f %f\n", {&m.specular.r, &m.specular.g, &m.specular.b})) return fail();
            if (!expect("emission %f %f %f\n", {&m.emission.r, &m.emission.g, &m.emission.b})) return fail();
            if (!expect("transmission %f %f %f\n", {&m.transmission.r, &m.transmission.g, &m.transmission.b}))
                return fail();
            if (!expect("metalness %f\n", {&m.metalness})) return fail();
            if (!expect("anisotropic %s\n", {&aniso})) return fail();
            m.anisotropic = aniso == "True" ? 1 : 0;
            if (!expect("roughness %f\n", {&m.roughness})) return fail();
            if (!expect("roughnessY %f\n", {&m.roughnessY})) return fail();
            if (!m.anisotropic) m.roughnessY = m.roughness;
            if (!expect("transparency %f\n", {&m.transparency})) return fail();
            if (!expect("IOR %f\n", {&m.IOR})) return fail();
            if (!expect("tex %d\n", {&tex})) return fail();
            if (tex > 0) m.tex = tex;
            texLines.push_back(in_.line());
            if (!expect("rsc %f\n", {&m.rsc})) return fail();
            if (!expect("absorption %f %f %f\n", {&m.absorption.r, &m.absorption.g, &m.absorption.b}))
                return fail();
            list.push_back(m);
            names.push_back(name);
        }
        draft_.materials = std::move(list);
        draft_.materialNames = std::move(names);
        draft_.materialTexLines = std::move(texLines);
        draft_.haveMaterials = true;
        return ParseStatus::Ok;
    }

    // Point, spot and sun lights:
    //   lights
    //   <count>
    // then per light a header "<kind> <name>" and its lines in this order:
    //   point: position, color, intensity, radius
    //   spot:  position, direction, color, intensity, cone <inner> <outer>, radius
    //   sun:   direction, color, irradiance, diameter
    // Angles in degrees (cone: from the axis; diameter: the sun's angular
    // diameter, 0 for a delta light).
    ParseStatus lightsBlock() {
        int n = 0;
        if (!expect("%d\n", {&n})) return fail();
        if (!checkCount("light", n, 40)) return fail();
        std::vector<SceneLight> list;
        std::vector<std::string> names;
        for (int i = 0; i < n; ++i) {
            std::string kind, name;
            if (!expect("%s %s\n", {&kind, &name})) return fail();
            const int kindLine = in_.line();
            SceneLight l;
            const bool spot = kind == "spot";
            if (kind == "point" || spot) {
                l.kind = spot ? kSpotLight : kPointLight;
                if (!expect("position %f %f %f\n", {&l.position.x, &l.position.y, &l.position.z}))
                    return fail();
                if (spot && !direction(l.direction)) return fail();
                if (!colour(l.color)) return fail();
                if (!nonNegative("intensity %f\n", "intensity", l.intensity)) return fail();
                if (spot) {
                    float inner = 0.0f, outer = 0.0f;
                    if (!expect("cone %f %f\n", {&inner, &outer})) return fail();
                    if (!(inner >= 0.0f) || !(outer <= 90.0f) || !(inner <= outer) || !(outer > 0.0f)) {
                        in_.report(nullptr, in_.line(),
                                   "cone angles %g and %g: expected 0 <= inner <= outer <= 90 degrees, outer "
                                   "above 0",
                                   static_cast<double>(inner), static_cast<double>(outer));
                        return fail();
                    }
                    l.innerAngle = radians(inner);
                    l.outerAngle = radians(outer);
                }
                if (!nonNegative("radius %f\n", "radius", l.radius)) return fail();
            } else if (kind == "sun") {
                l.kind = kSunLight;
                if (!direction(l.direction)) return fail();
                if (!colour(l.color)) return fail();
                if (!nonNegative("irradiance %f\n", "irradiance", l.intensity)) return fail();
                float diameter = 0.0f;
                if (!nonNegative("diameter %f\n", "diameter", diameter)) return fail();
                if (!(diameter < 180.0f)) {
                    in_.report(nullptr, in_.line(), "diameter %g: a sun spans less than 180 degrees",
                               static_cast<double>(diameter));
                    return fail();
                }
                l.angularDiameter = radians(diameter);
            } else {
                in_.report(nullptr, kindLine, "light kind \"%s\" is not point, spot or sun",
                           printable(kind).c_str());
                return fail();
            }
            list.push_back(l);
            names.push_back(name);
        }
        draft_.lights = std::move(list);
        draft_.lightNames = std::move(names);
        draft_.haveLights = true;
        return ParseStatus::Ok;
    }

    static float radians(float degrees) { return lightAngleRadians(degrees); }

    bool colour(Color& c) {
        if (!expect("color %f %f %f\n", {&c.r, &c.g, &c.b})) return false;
        if (c.r < 0.0f || c.g < 0.0f || c.b < 0.0f) {
            in_.report(nullptr, in_.line(), "color %g %g %g has a negative component",
                       static_cast<double>(c.r), static_cast<double>(c.g), static_cast<double>(c.b));
            return false;
        }
        return true;
    }

    bool nonNegative(const char* fmt, const char* what, float& v) {
        if (!expect(fmt, {&v})) return false;
        if (v < 0.0f) {
            in_.report(nullptr, in_.line(), "%s %g is negative", what, static_cast<double>(v));
            return false;
        }
        return true;
    }

    bool direction(Vector3d& d) {
        if (!expect("direction %f %f %f\n", {&d.x, &d.y, &d.z})) return false;
        Vector3d u = d;
        if (!unitLightDirection(u)) {
            in_.report(nullptr, in_.line(), "direction %g %g %g has no length to speak of",
                       static_cast<double>(d.x), static_cast<double>(d.y), static_cast<double>(d.z));
            return false;
        }
        d = u;
        return true;
    }

    // Which textures the materials use beyond their "tex" number, and how
    // the textures repeat: one line per material,
    //   <material> <base colour texture> <metallic-roughness texture> <wrap u> <wrap v>
    // texture numbers counting from 1 (0 = none), wrap modes repeat, clamp
    // or mirror.
    ParseStatus textureMaps() {
        int n = 0;
        if (!expect("%d\n", {&n})) return fail();
        if (!checkCount("texture map", n, 10)) return fail();
        for (int i = 0; i < n; ++i) {
            Draft::MapLine l{};
            std::string wu, wv;
            if (!expect("%d %d %d %s %s\n", {&l.material, &l.baseColor, &l.metallicRoughness, &wu, &wv}))
                return fail();
            l.line = in_.line();
            const int modes[2] = {wrapMode(wu), wrapMode(wv)};
            for (int k = 0; k < 2; ++k) {
                if (modes[k] < 0) {
                    in_.report(nullptr, l.line, "wrap mode \"%s\" is not repeat, clamp or mirror",
                               (k ? wv : wu).c_str());
                    return fail();
                }
            }
            l.wrapU = modes[0];
            l.wrapV = modes[1];
            draft_.mapLines.push_back(l);
        }
        return ParseStatus::Ok;
    }

    static int wrapMode(const std::string& w) {
        if (w == "repeat") return kWrapRepeat;
        if (w == "clamp") return kWrapClamp;
        if (w == "mirror") return kWrapMirror;
        return -1;
    }

    // How each material reads its textures, and its alpha and normal-map
    // settings, one line each:
    //   <material> <slot> <texture> <set> <wrap u> <wrap v> <mag> <min> <t0> ... <t5>
    //   <material> alpha <opaque|mask|blend> <cutoff> <opacity>
    //   <material> normalscale <scale>
    //   <material> bothsides            (an emitter whose back face emits too)
    // slots as kSlotNames names them;
    // texture numbers from 1 (0 = none); set 0 or 1; filters as in
    // textureFilterOf; t0 ... t5 the coordinate transform.
    ParseStatus materialMaps() {
        int n = 0;
        if (!expect("%d\n", {&n})) return fail();
        if (!checkCount("material map", n, 8)) return fail();
        for (int i = 0; i < n; ++i) {
            int material = 0;
            std::string key;
            if (!expect("%d %s", {&material, &key})) return fail();
            const int line = in_.line();
            const int slot = slotIndex(key);
            if (slot >= 0) {
                Draft::SlotLine l{};
                l.material = material;
                l.slot = slot;
                l.line = line;
                std::string wu, wv, mag, min;
                TextureSlot& t = l.settings;
                float* m = t.transform;
                if (!expect(" %d %d %s %s %s %s %f %f %f %f %f %f\n",
                            {&l.texture, &t.uvSet, &wu, &wv, &mag, &min, &m[0], &m[1], &m[2], &m[3], &m[4],
                             &m[5]}))
                    return fail();
                t.wrapU = wrapMode(wu);
                t.wrapV = wrapMode(wv);
                t.filter = textureFilterOf(mag, min);
                if (t.wrapU < 0 || t.wrapV < 0 || t.filter < 0 || (t.uvSet != 0 && t.uvSet != 1)) {
                    in_.report(nullptr, line, "materialmaps: bad wrap mode, filter or coordinate set for %s",
                               key.c_str());
                    return fail();
                }
                draft_.slotLines.push_back(l);
            } else if (key == "alpha") {
                Draft::SettingLine l{material, line, key, 0, 0.5f, 1.0f};
                std::string mode;
                if (!expect(" %s %f %f\n", {&mode, &l.a, &l.b})) return fail();
                l.mode = mode == "opaque"  ? kAlphaOpaque
                         : mode == "mask"  ? kAlphaMask
                         : mode == "blend" ? kAlphaBlend
                                           : -1;
                if (l.mode < 0) {
                    in_.report(nullptr, line, "alpha mode \"%s\" is not opaque, mask or blend", mode.c_str());
                    return fail();
                }
                draft_.settingLines.push_back(l);
            } else if (key == "normalscale") {
                Draft::SettingLine l{material, line, key, 0, 1.0f, 0.0f};
                if (!expect(" %f\n", {&l.a})) return fail();
                draft_.settingLines.push_back(l);
            } else if (key == "bothsides") {
                if (!expect("\n", {})) return fail();
                draft_.settingLines.push_back(Draft::SettingLine{material, line, key, 0, 0.0f, 0.0f});
            } else {
                in_.report(nullptr, line, "materialmaps: \"%s\" is not a texture slot or a material setting",
                           key.c_str());
                return fail();
            }
        }
        return ParseStatus::Ok;
    }

    static int slotIndex(const std::string& key) {
        for (int i = 0; i < kSlotCount; ++i)
            if (key == kSlotNames[i]) return i;
        return -1;
    }

    // The textures of every material from its "tex" number and the
    // texturemaps block; false (reported) for a texturemaps line that names
    // no material or no texture.
    bool buildMaterialMaps(std::vector<MaterialMaps>& maps) {
        const std::size_t materials = draft_.materials.size();
        const int textures = static_cast<int>(draft_.texturePaths.size());
        maps.assign(materials, MaterialMaps());
        for (std::size_t i = 0; i < materials; ++i) {
            const int tex = draft_.materials[i].tex;
            if (tex <= 0) continue;
            if (tex > textures) {
                // Older files may carry numbers that were never looked up.
                in_.report(nullptr, draft_.materialTexLines[i],
                           "warning: tex %d of material %zu names no texture (the scene lists %d); the "
                           "material is not textured",
                           tex, i, textures);
                continue;
            }
            maps[i].baseColor.texture = tex - 1;
        }
        for (const Draft::MapLine& l : draft_.mapLines) {
            if (l.material < 0 || static_cast<std::size_t>(l.material) >= materials) {
                in_.report(nullptr, l.line, "texturemaps names material %d, but the scene has %zu",
                           l.material, materials);
                return false;
            }
            for (int t : {l.baseColor, l.metallicRoughness}) {
                if (t < 0 || t > textures) {
                    in_.report(nullptr, l.line, "texturemaps names texture %d, but the scene lists %d", t,
                               textures);
                    return false;
                }
            }
            MaterialMaps& m = maps[static_cast<std::size_t>(l.material)];
            m.baseColor.texture = l.baseColor - 1;
            m.metallicRoughness.texture = l.metallicRoughness - 1;
            for (TextureSlot* slot : {&m.baseColor, &m.metallicRoughness}) {
                slot->wrapU = l.wrapU;
                slot->wrapV = l.wrapV;
            }
        }
        for (const Draft::SlotLine& l : draft_.slotLines) {
            if (l.material < 0 || static_cast<std::size_t>(l.material) >= materials || l.texture < 0 ||
                l.texture > textures) {
                in_.report(nullptr, l.line,
                           "materialmaps names material %d and texture %d, but the scene has %zu and %d",
                           l.material, l.texture, materials, textures);
                return false;
            }
            TextureSlot& slot = slotOf(maps[static_cast<std::size_t>(l.material)], l.slot);
            slot = l.settings;
            slot.texture = l.texture - 1;
        }
        for (const Draft::SettingLine& l : draft_.settingLines) {
            if (l.material < 0 || static_cast<std::size_t>(l.material) >= materials) {
                in_.report(nullptr, l.line, "materialmaps names material %d, but the scene has %zu",
                           l.material, materials);
                return false;
            }
            MaterialMaps& m = maps[static_cast<std::size_t>(l.material)];
            if (l.key == "alpha") {
                m.alphaMode = l.mode;
                m.alphaCutoff = l.a;
                m.alpha = l.b;
            } else if (l.key == "bothsides") {
                m.emitsBothSides = 1;
            } else {
                m.normalScale = l.a;
            }
        }
        return true;
    }

    // ---- mesh block ------------------------------------------------------

    struct ObjectState {
        bool texture = false, smoothing = false, movable = false;
    };

    ParseStatus mesh() {
        int n = 0;
        if (!expect("%d\n\n", {&n})) return fail();
        if (!checkCount("object", n, 1)) return fail();
        bool headerOConsumed = false;
        for (int k = 0; k < n; ++k) {
            int index = 0;
            std::string name;
            const Scan r = headerOConsumed ? in_.scan("%d %s\n", {&index, &name})
                                           : in_.scan("o %d %s\n", {&index, &name});
            if (r == Scan::Reported) return fail();
            if (r != Scan::Ok || index != k) {
                std::printf("invalid index!");
                if (r == Scan::Ok)
                    in_.report("", in_.line(), "object %d where object %d was expected", index, k);
                else if (r == Scan::End)
                    in_.report("", in_.itemLine(), "the file ends before object %d of %d", k, n);
                else
                    in_.report("", in_.itemLine(), "expected the header of object %d, found \"%s\"", k,
                               in_.nextWord().c_str());
                return fail();
            }
            bool endedByO = false;
            SceneObject record;
            record.name = name;
            record.firstTriangle = static_cast<int32_t>(draft_.triangles.size());
            if (!object(endedByO, record.movable)) return fail();
            record.triangleCount = static_cast<int32_t>(draft_.triangles.size()) - record.firstTriangle;
            draft_.objects.push_back(std::move(record));
            if (endedByO) headerOConsumed = true;
        }
        return ParseStatus::Ok;
    }

    bool object(bool& endedByO, bool& movable) {
        ObjectState st;
        for (;;) {
            std::string token;
            const Scan r = in_.scan("%s", {&token});
            if (r == Scan::Reported) return false;
            if (r != Scan::Ok) break;  // end of file ends the object
            if (token == "movable") {
                std::string value;
                if (!expect("%s", {&value})) return false;
                if (value == "True") {
                    st.movable = true;
                    Movable m{};
                    m.firstTriangle = static_cast<int32_t>(draft_.triangles.size());
                    m.bvhNode = -1;
                    m.bounds = aabb();
                    draft_.movables.push_back(m);
                }
            } else if (token == "v") {
                Vector3d p;
                if (!expect("%f %f %f\n", {&p.x, &p.y, &p.z})) return false;
                draft_.vertices.push_back(p);
                bounds_.grow(p);
            } else if (token == "vt") {
                UV uv;
                if (!expect("%f %f\n", {&uv.u, &uv.v})) return false;
                draft_.uvs.push_back(uv);
                st.texture = true;
            } else if (token == "vn") {
                Vector3d nrm;
                if (!expect("%f %f %f\n", {&nrm.x, &nrm.y, &nrm.z})) return false;
                draft_.normals.push_back(nrm);
            } else if (token == "vt1") {
                // The second coordinate set of the last "vt" line.
                UV uv;
                if (!expect("%f %f\n", {&uv.u, &uv.v})) return false;
                if (draft_.uvs.empty()) {
                    in_.report(nullptr, in_.line(), "vt1 before any vt line");
                    return false;
                }
                draft_.uvs1.resize(draft_.uvs.size());
                draft_.hasUV1.resize(draft_.uvs.size(), 0);
                draft_.uvs1.back() = uv;
                draft_.hasUV1.back() = 1;
            } else if (token == "vtan") {
                // The tangent (xyz, and w = +-1 the bitangent's side) of the
                // last "vn" line.
                std::array<float, 4> t;
                if (!expect("%f %f %f %f\n", {&t[0], &t[1], &t[2], &t[3]})) return false;
                if (draft_.normals.empty()) {
                    in_.report(nullptr, in_.line(), "vtan before any vn line");
                    return false;
                }
                draft_.tangents.resize(draft_.normals.size(), {0.0f, 0.0f, 0.0f, 0.0f});
                draft_.tangents.back() = t;
            } else if (token == "vc") {
                // The colour (linear RGBA) of the last vertex, for the faces
                // that follow.
                std::array<float, 4> c;
                if (!expect("%f %f %f %f\n", {&c[0], &c[1], &c[2], &c[3]})) return false;
                if (draft_.vertices.empty()) {
                    in_.report(nullptr, in_.line(), "vc before any vertex");
                    return false;
                }
                draft_.vertexColors.resize(draft_.vertices.size(), {1.0f, 1.0f, 1.0f, 1.0f});
                draft_.vertexColors.back() = c;
            } else if (token == "usemtl") {
                int m = 0;
                std::string name;
                if (!expect("%d %s\n", {&m, &name})) return false;
                if (m < 0 || static_cast<std::size_t>(m) >= draft_.materials.size()) {
                    in_.report(nullptr, in_.line(), "usemtl %d names no material (the scene has %zu)", m,
                               draft_.materials.size());
                    return false;
                }
                draft_.currentMaterial = m;
            } else if (token == "s") {
                std::string value;
                if (!expect("%s\n", {&value})) return false;
                st.smoothing = value == "on";
            } else if (token == "f") {
                if (!face(st)) return false;
            } else {
                endedByO = token == "o";
                break;  // any other word ends the object and is dropped
            }
        }
        if (st.movable) {
            Movable& m = draft_.movables.back();
            m.triangleCount = static_cast<int32_t>(draft_.triangles.size()) - m.firstTriangle;
        }
        movable = st.movable;
        return true;
    }

    template <class T>
    bool lookUp(const std::vector<T>& list, int index, const char* what, const char* whats, int line,
                T& out) {
        if (index < 1 || static_cast<std::size_t>(index) > list.size()) {
            in_.report(nullptr, line, "face refers to %s %d, but %zu %s were read so far", what, index,
                       list.size(), whats);
            return false;
        }
        out = list[static_cast<std::size_t>(index) - 1];
        return true;
    }

    bool face(const ObjectState& st) {
        int v[3] = {}, t[3] = {}, nrm[3] = {};
        if (st.smoothing && st.texture) {
            if (!expect("%d/%d/%d %d/%d/%d %d/%d/%d\n",
                        {&v[0], &t[0], &nrm[0], &v[1], &t[1], &nrm[1], &v[2], &t[2], &nrm[2]}))
                return false;
        } else if (st.smoothing) {
            if (!expect("%d//%d %d//%d %d//%d\n", {&v[0], &nrm[0], &v[1], &nrm[1], &v[2], &nrm[2]}))
                return false;
        } else {
            if (!expect("%d %d %d\n", {&v[0], &v[1], &v[2]})) return false;
        }
        const int line = in_.line();
        if (draft_.currentMaterial < 0) {
            in_.report(nullptr, line, "face before any usemtl has no material");
            return false;
        }
        Triangle tri{};
        tri.materialIndex = draft_.currentMaterial;
        Vector3d* p[3] = {&tri.p1, &tri.p2, &tri.p3};
        Vector3d* n[3] = {&tri.normal1, &tri.normal2, &tri.normal3};
        UV* uv[3] = {&tri.uv1, &tri.uv2, &tri.uv3};
        for (int i = 0; i < 3; ++i) {
            if (!lookUp(draft_.vertices, v[i], "vertex", "vertices", line, *p[i])) return false;
            if (st.smoothing && !lookUp(draft_.normals, nrm[i], "normal", "normals", line, *n[i]))
                return false;
            if (st.smoothing && st.texture &&
                !lookUp(draft_.uvs, t[i], "texture coordinate", "texture coordinates", line, *uv[i]))
                return false;
        }
        if (!st.smoothing) tri.normal1 = tri.normal2 = tri.normal3 = cross(tri.p2 - tri.p1, tri.p3 - tri.p1);
        // A face is a light exactly when its own material emits, whichever
        // object or usemtl line it got that material from.
        const bool light = draft_.materials[static_cast<std::size_t>(tri.materialIndex)].isEmissive();
        tri.isLight = light ? 1 : 0;
        finishTriangle(tri);
        const int32_t index = static_cast<int32_t>(draft_.triangles.size());
        draft_.triangles.push_back(tri);
        // Texture coordinates per triangle, kept from the first face that has
        // them on (the faces before it get none).
        TriangleUVs uvs;
        if (st.smoothing && st.texture) {
            uvs.uv[0] = tri.uv1;
            uvs.uv[1] = tri.uv2;
            uvs.uv[2] = tri.uv3;
            uvs.valid = 1;
            draft_.anyTriangleUVs = true;
            draft_.triangleUVs.resize(static_cast<std::size_t>(index));
            draft_.triangleUVs.push_back(uvs);
        }
        if (!draft_.hasUV1.empty()) {
            TriangleUVs second;
            second.valid = uvs.valid;
            for (int i = 0; i < 3 && second.valid; ++i) {
                const std::size_t k = static_cast<std::size_t>(t[i] - 1);
                second.valid = k < draft_.hasUV1.size() && draft_.hasUV1[k];
                if (second.valid) second.uv[i] = draft_.uvs1[k];
            }
            if (draft_.triangleUVs1.empty()) draft_.triangleUVs1.resize(index);
            draft_.triangleUVs1.push_back(second);
        }
        if (!draft_.tangents.empty()) {
            // Faces read before the first "vtan" line have no tangents.
            draft_.triangleTangents.resize(index, TriangleTangents{});
            TriangleTangents tt{};
            for (int i = 0; i < 3 && st.smoothing; ++i) {
                const std::size_t k = static_cast<std::size_t>(nrm[i] - 1);
                if (k < draft_.tangents.size())
                    for (int c = 0; c < 4; ++c) tt.t[i][c] = draft_.tangents[k][static_cast<std::size_t>(c)];
            }
            draft_.triangleTangents.push_back(tt);
        }
        if (!draft_.vertexColors.empty()) {
            // Faces read before the first "vc" line are white.
            draft_.triangleColors.resize(index, whiteCorners());
            TriangleColors c = whiteCorners();
            for (int i = 0; i < 3; ++i) {
                const std::size_t k = static_cast<std::size_t>(v[i] - 1);
                if (k < draft_.vertexColors.size())
                    for (int ch = 0; ch < 4; ++ch)
                        c.rgba[i][ch] = draft_.vertexColors[k][static_cast<std::size_t>(ch)];
            }
            draft_.triangleColors.push_back(c);
        }
        if (st.movable) draft_.movables.back().bounds.grow(tri.bounds);
        if (light) draft_.lightIndices.push_back(index);
        return true;
    }

    // ---- finishing -------------------------------------------------------

    bool finish(Scene& scene, aabb& bounds, float4** woopTriangles) {
        if (!buildMaterialMaps(draft_.materialMaps)) return false;
        draft_.bounds = bounds_;
        return commitScene(draft_, scene, bounds, woopTriangles, in_.name());
    }

    Scanner in_;
    Draft draft_;
    aabb bounds_;
};

}  // namespace

ParseStatus parseSceneText(std::string_view text, const std::string& name, Scene& scene, aabb& bounds,
                           float4** woopTriangles) {
    Parser parser(text, name);
    const ParseStatus s = parser.run(scene, bounds, woopTriangles);
    std::fflush(stdout);
    return s;
}

bool parseSceneFile(std::FILE* file, const std::string& name, Scene& scene, aabb& bounds,
                    float4** woopTriangles) {
    if (!file) {
        std::printf("Failed to open the file ! (%s)\n", name.c_str());
        return false;
    }
    std::string text;
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && info.st_size > 0)
        text.reserve(static_cast<std::size_t>(info.st_size));
    char buf[1 << 16];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, got);
    if (std::ferror(file)) {
        std::printf("%s: read error: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    const ParseStatus s = parseSceneText(text, name, scene, bounds, woopTriangles);
    if (s == ParseStatus::UnrecognizedVolumeType) std::exit(1);
    return s == ParseStatus::Ok;
}

bool parseSceneFile(const std::string& path, Scene& scene, aabb& bounds, float4** woopTriangles) {
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        std::printf("Failed to open the file ! (%s: %s)\n", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool ok = parseSceneFile(f, path, scene, bounds, woopTriangles);
    std::fclose(f);
    return ok;
}

}  // namespace lumenar
