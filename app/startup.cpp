#include "app/startup.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <type_traits>

#include "scene/image_io.h"
#include "scene/importer.h"
#include "scene/input_parser.h"

namespace lumenar {

static_assert(Settings::kStartCap == kMetroStartCap &&
                  Settings::kForcedAcceptanceThreshold == kMetroForcedAcceptance,
              "the settings' defaults are the renderer's");

int buildModeFromArguments(int argc, const char* const* argv, int fallback) {
    return argc > 1 ? std::atoi(argv[1]) : fallback;
}

bool windowArguments(int argc, const char* const* argv, Settings& settings, std::string& sceneFile) {
    namespace fs = std::filesystem;
    sceneFile = "input";
    std::string scene;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--mlt-capped-start") {
            settings.mltStartCap = kMetroStartCap;
        } else if (a == "--mlt-uncapped-start") {
            settings.mltStartCap = 0.0f;
        } else if (a == "--mlt-combined") {
            settings.mltCombined = true;
        } else if (a == "--movable" || a == "--width" || a == "--height" || a == "--mlt-forced-acceptance") {
            if (!hasValue) {
                std::printf("%s needs a value\n", a.c_str());
                return false;
            }
            const std::string v = argv[++i];
            if (a == "--movable") {
                settings.movableName = v;
                continue;
            }
            const bool count = a == "--mlt-forced-acceptance";
            const long lo = count ? 0 : 1, hi = count ? 1000000000 : 16384;
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || !end || *end || n < lo || n > hi) {
                std::printf("%s %s: expected %s from %ld to %ld\n", a.c_str(), v.c_str(),
                            count ? "a count of rejections" : "a size", lo, hi);
                return false;
            }
            (count            ? settings.mltForcedAcceptance
             : a == "--width" ? settings.importWidth
                              : settings.importHeight) = static_cast<int>(n);
        } else if (i == 1 &&
                   std::isdigit(static_cast<unsigned char>(a[a[0] == '-' && a.size() > 1 ? 1 : 0]))) {
            settings.kdBuildMode = std::atoi(a.c_str());
        } else if (scene.empty()) {
            scene = a;
        } else {
            std::printf("unexpected argument \"%s\"\n", a.c_str());
            return false;
        }
    }
    if (scene.empty()) return true;
    std::error_code ec;
    fs::path p(scene), dir;
    if (fs::is_directory(p, ec)) {
        dir = p;
    } else {
        dir = p.parent_path();
        sceneFile = p.filename().string();
    }
    if (!dir.empty()) {
        fs::current_path(dir, ec);
        if (ec) {
            std::printf("%s: cannot enter the scene folder: %s\n", dir.string().c_str(),
                        ec.message().c_str());
            return false;
        }
    }
    return true;
}

namespace {
using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}
}  // namespace

namespace {
// Hands memory freed after a large build back to the system: the C library
// keeps what worker threads freed in their own pools otherwise, and a large
// scene's builds leave hundreds of megabytes there.
void returnFreedMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}
}  // namespace

double peakResidentBytes() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0.0;
    return static_cast<double>(usage.ru_maxrss) * 1024.0;  // kilobytes on Linux
}

aabb enlargedBox(const aabb& box) {
    const Vector3d e = box.max - box.min;
    const Vector3d lo = box.min - e * 0.05f;
    return aabb(lo, lo + e * 1.1f);
}

Application::~Application() {
    cancelMetro_.store(true);
    waitForMetro();
    releaseResources();
}

void Application::releaseResources() {
    // Everything on the device goes before the device is reset, the trees'
    // arrays included.
    bvhTree_.deviceNodes.reset();
    bvhTree_.deviceMovables.reset();
    bvhTree_.deviceTriIndices.reset();
    kdTree_.deviceNodes.reset();
    kdTree_.deviceTriIndices.reset();
    kdTree_.woopTriangles = nullptr;  // the scene's, freed with it
    kdTree_.sceneView = nullptr;
    deviceLock_.reset();
    mutexWord_.reset();
    pathStates_.reset();
    metro_ = MetroChains();
    sobolStates_ = SobolStates();
    materials_.reset();
    volumes_.reset();
    triangleUVs_.reset();
    triangleUVs1_.reset();
    triangleColors_.reset();
    triangleTangents_.reset();
    materialMaps_.reset();
    textureViews_.reset();
    sceneTextures_ = SceneTextures();
    lightSet_.release();
    view_ = SceneView();
    scene_.release();
}

bool Application::start(const std::string& sceneFile) {
    startedAt_ = Clock::now();
    const bool ok = startStages(sceneFile);
    phases_.start = secondsSince(startedAt_);
    if (ok)
        metroWorker_ = std::thread([this] { prepareMetro(); });
    else
        metroHandoff_.publish(false);  // nothing will come
    return ok;
}

bool Application::startStages(const std::string& sceneFile) {
    Clock::time_point t = Clock::now();
    std::printf("Loading files...\n");
    if (!loadScene(sceneFile)) return false;
    returnFreedMemory();
    imageWidth_ = scene_.camera.width;
    imageHeight_ = scene_.camera.height;
    phases_.load = secondsSince(t);

    t = Clock::now();
    std::printf("Building spatial acceleration structures...\n");
    if (!buildAccelerationStructures()) return false;
    returnFreedMemory();
    phases_.bvh = secondsSince(t);

    // What the path tracer needs. The kd-tree and the Metropolis chains are
    // made on a worker thread once this has printed "Start tracing!".
    t = Clock::now();
    if (!copyEditableRecords()) return false;
    if (!uploadTextureMaps()) return false;
    if (!buildLightSet()) return false;
    buildSceneView();
    // The kd-tree is built for the scene box, which the chains trace grown
    // by 5 % on every side.
    tracingBox_ = enlargedBox(sceneBox_);
    if (!allocateFrameBuffers()) return false;
    if (!createDeviceLock()) return false;
    std::printf("Initializing data structures for Metropolis Light Transport...\n");
    if (!snapshotForChains()) return false;
    phases_.records = secondsSince(t);

    std::printf("Start tracing!\n");
    std::fflush(stdout);
    return true;
}

bool Application::snapshotForChains() {
    // The chains' set-up traces the scene as it starts; the path tracer may
    // meanwhile edit materials and media, move the object or rebuild the
    // light records, so the set-up reads copies of those.
    chainView_ = view_;
    const auto copy = [](auto& to, const auto* from, std::size_t count) {
        if (count == 0 || !from) return true;
        to = std::remove_reference_t<decltype(to)>(count);
        return to && device::copyOnDevice(to.get(), from, to.bytes());
    };
    const bool ok =
        copy(chainMaterials_, materials_.get(), scene_.materials.size()) &&
        copy(chainVolumes_, volumes_.get(), static_cast<std::size_t>(scene_.volumeCount)) &&
        copy(chainMovables_, view_.movables, static_cast<std::size_t>(view_.movableCount)) &&
        copy(chainLights_, view_.lights.triangles, static_cast<std::size_t>(view_.lights.triangleCount)) &&
        copy(chainSceneLights_, view_.lights.lights, static_cast<std::size_t>(view_.lights.lightCount));
    if (!ok) {
        std::printf("The Metropolis chains' copy of the scene cannot be placed in device memory\n");
        return false;
    }
    if (chainMaterials_) chainView_.materials = chainMaterials_.get();
    if (chainVolumes_) chainView_.volumes = chainVolumes_.get();
    if (chainMovables_) chainView_.movables = chainMovables_.get();
    if (chainLights_) chainView_.lights.triangles = chainLights_.get();
    if (chainSceneLights_) chainView_.lights.lights = chainSceneLights_.get();
    return true;
}

void Application::prepareMetro() {
    if (beforeMetro) beforeMetro();
    Clock::time_point t = Clock::now();
    kdTree_.cancel = &cancelMetro_;
    const bool built = buildKdTree();
    returnFreedMemory();
    phases_.kdTree = secondsSince(t);
    bool ready = false;
    if (built) {
        kdTree_.bbox = enlargedBox(kdTree_.bbox);
        t = Clock::now();
        // Without chains the path tracer still runs; Metropolis mode then
        // stays off (the set-up has said why).
        KdScene chainsScene = kdSceneOf(kdTree_, bvhTree_);
        metroHandoff_.scene = chainsScene;
        const int movables = chainsScene.movableCount;
        static_cast<SceneView&>(chainsScene) = chainView_;
        if (movables == 0) chainsScene.movableCount = 0;
        ready = mltSetup(scene_.camera, imageWidth_, imageHeight_, chainsScene, metro_, settings_.metroSalt,
                         settings_.mltStartCap, settings_.mltMemoryLimit);
        phases_.chains = secondsSince(t);
    } else if (!cancelMetro_.load()) {
        std::printf("Metropolis light transport is unavailable in this run: the kd-tree was not built\n");
        std::fflush(stdout);
    }
    chainMaterials_.reset();
    chainVolumes_.reset();
    chainMovables_.reset();
    chainLights_.reset();
    chainSceneLights_.reset();
    metroHandoff_.chains = &metro_;
    phases_.metroReady = secondsSince(startedAt_);
    metroHandoff_.publish(ready);
}

bool Application::waitForMetro() {
    if (metroWorker_.joinable()) metroWorker_.join();
    return metroHandoff_.state() == MetroHandoff::State::Ready;
}

KdTree& Application::kdTree() {
    waitForMetro();
    return kdTree_;
}

MetroChains& Application::metroChains() {
    waitForMetro();
    return metro_;
}

bool Application::loadScene(const std::string& sceneFile) {
    namespace fs = std::filesystem;
    if (isImportablePath(sceneFile)) return importModel(sceneFile);
    if (!settings_.movableName.empty())
        std::printf("%s: --movable applies to model files; a scene file declares its movable objects\n",
                    sceneFile.c_str());
    std::FILE* f = std::fopen(sceneFile.c_str(), "r");
    if (!f) {
        std::error_code ec;
        const fs::path where = fs::absolute(fs::path(sceneFile), ec);
        const std::string dir = ec ? std::string("(unknown directory)") : where.parent_path().string();
        std::printf("Cannot open the scene file \"%s\" (looked in %s): %s\n",
                    fs::path(sceneFile).filename().string().c_str(), dir.c_str(), std::strerror(errno));
        return false;
    }
    // A parse failure has printed its reason; nothing of the file is kept.
    // An unrecognised volume type ends the process inside the parser.
    const bool parsed = parseSceneFile(f, sceneFile, scene_, sceneBox_, &scene_.woopTriangles);
    std::fclose(f);
    const std::string ext = fs::path(sceneFile).extension().string();
    // Scene files carry no extension as a rule. A file with an extension no
    // reader knows that gives nothing as a scene file is a model in a format
    // that is not supported, not an empty scene.
    if (!ext.empty() && (!parsed || (scene_.triangleCount == 0 && scene_.materials.empty()))) {
        std::printf("%s: not a scene file, and no model reader knows files ending in \"%s\"\n",
                    sceneFile.c_str(), ext.c_str());
        scene_.release();
        return false;
    }
    if (!parsed) return false;
    if (!loadTextures(fs::path(sceneFile).parent_path().string())) return false;
    return loadEnvironment(fs::path(sceneFile).parent_path().string());
}

bool Application::loadEnvironment(const std::string& sceneDir) {
    namespace fs = std::filesystem;
    scene_.environment.reset();
    environmentFile_.clear();
    if (!scene_.envMapEnabled) return true;
    fs::path p(scene_.envMapPath);
    if (p.is_relative() && !sceneDir.empty()) p = fs::path(sceneDir) / p;
    environmentFile_ = p.string();
    // Unlike a texture, the environment lights the whole scene: without it
    // the image would be wrong, so the run stops.
    return scene_.environment.load(p.string(), 1.0f);
}

bool Application::buildLightSet() {
    LightSetBuffers::Source source;
    source.triangles = &scene_.hostTriangles;
    if (scene_.environment.width() > 0) source.environment = &scene_.environment;
    const Vector3d extent = sceneBox_.max - sceneBox_.min;
    source.sceneRadius = 0.5f * length(extent);
    source.movables = bvhTree_.deviceMovables.get();
    source.movableCount = source.movables ? bvhTree_.movableCount : 0;
    source.lights = scene_.lights;
    source.textures = sceneTextures_;
    for (std::size_t m = 0; m < scene_.materialMaps.size(); ++m) {
        if (scene_.materialMaps[m].emitsBothSides) {
            source.bothSides.resize(scene_.materialMaps.size(), 0);
            source.bothSides[m] = 1;
        }
        const int t = scene_.materialMaps[m].emissive.texture;
        if (t < 0 || static_cast<std::size_t>(t) >= scene_.textures.size()) continue;
        source.emissionScales.resize(scene_.materialMaps.size(), Color(1.0f, 1.0f, 1.0f));
        source.emissionScales[m] = scene_.textures[static_cast<std::size_t>(t)].mean();
    }
    lightSet_.setSource(source);
    if (lightSet_.build(scene_.materials.data(), static_cast<int>(scene_.materials.size()))) return true;
    std::printf("The scene's light records cannot be placed in device memory\n");
    return false;
}

bool Application::importModel(const std::string& path) {
    ImportOptions options;
    options.width = settings_.importWidth;
    options.height = settings_.importHeight;
    options.movable = settings_.movableName;
    ImportedScene imported;
    if (!importScene(path, options, imported)) return false;
    if (!commitScene(imported.assembly, scene_, sceneBox_, &scene_.woopTriangles, path)) return false;
    // The importer decoded and checked every image.
    scene_.textures.clear();
    scene_.textures.resize(imported.textures.size());
    textureFiles_.clear();
    missingTextures_.clear();
    for (std::size_t i = 0; i < imported.textures.size(); ++i) {
        textureFiles_.push_back(imported.textures[i].sourcePath);
        if (!scene_.textures[i].create(imported.textures[i].image,
                                       textureIsColour(scene_.materialMaps, static_cast<int>(i)))) {
            std::printf("%s: texture \"%s\" cannot be placed in device memory\n", path.c_str(),
                        imported.textures[i].fileName.c_str());
            return false;
        }
    }
    return true;
}

bool Application::uploadTextureMaps() {
    if (scene_.materialMaps.empty()) return true;
    std::vector<TextureView> views(scene_.textures.size());
    for (std::size_t i = 0; i < views.size(); ++i) {
        const TextureRecord r = scene_.textures[i].record();
        views[i].texels = r.pixels;
        views[i].width = r.pixels ? r.width : 0;
        views[i].height = r.pixels ? r.height : 0;
        views[i].levels = r.pixels ? r.levels : 0;
    }
    materialMaps_ = device::uploadArray(scene_.materialMaps.data(), scene_.materialMaps.size());
    triangleUVs_ = device::uploadArray(scene_.triangleUVs.data(), scene_.triangleUVs.size());
    triangleUVs1_ = device::uploadArray(scene_.triangleUVs1.data(), scene_.triangleUVs1.size());
    triangleColors_ = device::uploadArray(scene_.triangleColors.data(), scene_.triangleColors.size());
    triangleTangents_ = device::uploadArray(scene_.triangleTangents.data(), scene_.triangleTangents.size());
    if (!views.empty()) textureViews_ = device::uploadArray(views.data(), views.size());
    if (!materialMaps_ || !triangleUVs_ || (!views.empty() && !textureViews_) ||
        (!scene_.triangleUVs1.empty() && !triangleUVs1_) ||
        (!scene_.triangleColors.empty() && !triangleColors_))
        return false;
    sceneTextures_.maps = materialMaps_.get();
    sceneTextures_.uvs = triangleUVs_.get();
    sceneTextures_.uvs1 = triangleUVs1_.get();
    sceneTextures_.colors = triangleColors_.get();
    sceneTextures_.tangents = triangleTangents_.get();
    sceneTextures_.triangles = scene_.deviceTriangles;
    for (const MaterialMaps& m : scene_.materialMaps) sceneTextures_.cutOuts |= m.cutOut() ? 1 : 0;
    sceneTextures_.textures = textureViews_.get();
    sceneTextures_.textureCount = static_cast<int32_t>(views.size());
    // The angle of one (sub)pixel seen from the camera: its height on the
    // image plane over the plane's distance.
    const Camera& c = scene_.camera;
    const Vector3d centre = c.planeCorner + (c.planeHorizontal + c.planeVertical) * 0.5f;
    const float distance = length(centre - c.rayOrigin);
    const float rows = static_cast<float>(imageHeight_ * std::max(settings_.superSampleFactor, 1));
    const float spread = length(c.planeVertical) / (rows * distance);
    sceneTextures_.pixelSpread = std::isfinite(spread) && spread > 0.0f ? spread : 0.0f;
    return true;
}

bool Application::loadTextures(const std::string& sceneDir) {
    namespace fs = std::filesystem;
    scene_.textures.clear();
    scene_.textures.resize(scene_.texturePaths.size());
    textureFiles_.clear();
    missingTextures_.clear();
    for (std::size_t i = 0; i < scene_.texturePaths.size(); ++i) {
        // Paths in the scene file are relative to the file's folder.
        fs::path p(scene_.texturePaths[i]);
        if (p.is_relative() && !sceneDir.empty()) p = fs::path(sceneDir) / p;
        textureFiles_.push_back(p.string());
        Image image;
        if (loadImage(p.string(), image)) {
            if (scene_.textures[i].create(image, textureIsColour(scene_.materialMaps, static_cast<int>(i))))
                continue;
            std::printf("%s: texture %zu of the scene cannot be placed in device memory\n",
                        p.string().c_str(), i + 1);
            return false;
        }
        // The decoder has said why. Without the image the materials that use
        // it render untextured: a batch render stops, the window says so.
        if (!settings_.missingTexturesAllowed) {
            std::printf("%s: texture %zu of the scene cannot be read; stopping\n", p.string().c_str(), i + 1);
            return false;
        }
        std::printf("%s: texture %zu of the scene cannot be read; rendering without it\n", p.string().c_str(),
                    i + 1);
        if (std::find(missingTextures_.begin(), missingTextures_.end(), p.string()) == missingTextures_.end())
            missingTextures_.push_back(p.string());
    }
    return true;
}

bool Application::buildAccelerationStructures() {
    // The frames walk and refit the device's copies only.
    bvhTree_.keepHostCopies = false;
    if (settings_.useDynamicBVH) {
        if (!bvhTree_.buildDynamic(&scene_)) return false;
        bvhTree_.movableCount = scene_.movableCount;
        if (scene_.movableCount > 0) {
            bvhTree_.deviceMovables =
                device::uploadArray(scene_.movables.data(), static_cast<std::size_t>(scene_.movableCount),
                                    device::MemoryKind::Managed);
            if (!bvhTree_.deviceMovables) return false;
        }
    } else if (!bvhTree_.build(&scene_)) {
        return false;
    }
    return true;
}

bool Application::buildKdTree() {
    kdTree_.woopTriangles = scene_.woopTriangles;
    // With the dynamic BVH the movable objects are traced through their own
    // subtrees, where they stand now; the kd-tree holds the rest.
    kdTree_.staticOnly = settings_.useDynamicBVH && scene_.movableCount > 0;
    kdTree_.keepHostCopies = false;  // the chains walk the device's copy
    return kdTree_.build(&scene_, sceneBox_, settings_.kdBuildMode);
}

void Application::buildSceneView() {
    view_ = SceneView();
    view_.triangles = scene_.deviceTriangles;
    view_.materials = materials_.get();
    view_.bgcolor = scene_.bgcolor;
    view_.lights = lightSet_.view();
    view_.volumeCount = scene_.volumeCount;
    view_.volumes = volumes_.get();
    view_.inscatter = scene_.inscatter;
    view_.movables = bvhTree_.deviceMovables.get();
    view_.movableCount = view_.movables ? bvhTree_.movableCount : 0;
    view_.textures = sceneTextures_;
    kdTree_.sceneView = &view_;
}

bool Application::copyEditableRecords() {
    if (!scene_.materials.empty()) {
        materials_ = device::uploadArray(scene_.materials.data(), scene_.materials.size(),
                                         device::MemoryKind::Managed);
        if (!materials_) return false;
    }
    if (scene_.volumeCount > 0) {
        volumes_ = device::uploadArray(scene_.volumes.data(), static_cast<std::size_t>(scene_.volumeCount),
                                       device::MemoryKind::Managed);
        if (!volumes_) return false;
    }
    return true;
}

bool Application::allocateFrameBuffers() {
    const int o = settings_.superSampleFactor;
    const long long samples = static_cast<long long>(o) * o * imageWidth_ * imageHeight_;
    if (o < 1 || imageWidth_ <= 0 || imageHeight_ <= 0 || samples > (1ll << 28)) {
        std::printf("Image of %d x %d pixels with %d x %d samples per pixel is out of range\n", imageWidth_,
                    imageHeight_, o, o);
        return false;
    }
    pathStates_ = device::Buffer<pixelData>(static_cast<std::size_t>(samples));
    if (!pathStates_) return false;
    // The path tracer's pixel jitter: two Sobol states per sample slot, its
    // own, whatever becomes of the Metropolis chains.
    if (!sobolStates_.create(o * imageWidth_, o * imageHeight_)) {
        std::printf("Cannot set up the sample states of %d x %d samples\n", o * imageWidth_,
                    o * imageHeight_);
        return false;
    }
    return true;
}

bool Application::createDeviceLock() {
    mutexWord_ = device::Buffer<int>(1);
    const int zero = 0;
    if (!mutexWord_ || !mutexWord_.upload(&zero, 1)) {
        std::printf("allocate mutex failed!\n");
        return false;
    }
    const device::Lock holder{mutexWord_.get()};
    deviceLock_ = device::uploadArray(&holder, 1);
    return static_cast<bool>(deviceLock_);
}

int Application::shutdown() {
    if (shutDown_) return 0;
    shutDown_ = true;
    cancelMetro_.store(true);
    waitForMetro();
    releaseResources();
    if (!device::resetDevice()) return 1;
    std::printf("All done.\n");
    std::fflush(stdout);
    return 0;
}

}  // namespace lumenar
