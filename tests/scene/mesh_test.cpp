// The mesh block: object headers and flags, faces, and the arrays the parser
// builds and uploads from them.
#include <cstring>
#include <vector>

#include "device/memory.h"
#include "scene_test_util.h"

using namespace lumenar;
using lumenar::test::parse;
using lumenar::test::twoMaterials;

namespace {

std::string scene(const std::string& mesh) {
    return "t\n" + twoMaterials() + mesh;
}

template <class T>
std::vector<T> download(const T* p, std::size_t n) {
    std::vector<T> v(n);
    if (n) device::copyToHost(v.data(), p, n * sizeof(T));
    return v;
}

Vector3d apply(const float* r, const Vector3d& p) {
    return {r[0] * p.x + r[1] * p.y + r[2] * p.z + r[9], r[3] * p.x + r[4] * p.y + r[5] * p.z + r[10],
            r[6] * p.x + r[7] * p.y + r[8] * p.z + r[11]};
}

void expectNear(const Vector3d& a, const Vector3d& b) {
    EXPECT_NEAR(a.x, b.x, 1e-5f);
    EXPECT_NEAR(a.y, b.y, 1e-5f);
    EXPECT_NEAR(a.z, b.z, 1e-5f);
}

}  // namespace

TEST(MeshBlock, WoopRowsMapTheTriangleOntoTheUnitTriangle) {
    Scene s;
    const auto p =
        parse(scene("mesh 1\no 0 a\nv 0.5 -1 2\nv 3 0.25 1\nv -1 2 0.5\nusemtl 1 light\nf 1 2 3\n"), s);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(s.triangleCount, 1);
    const Triangle& t = s.hostTriangles[0];
    expectNear(apply(t.woopRows, t.p1), {1, 0, 0});
    expectNear(apply(t.woopRows, t.p2), {0, 1, 0});
    expectNear(apply(t.woopRows, t.p3), {0, 0, 0});
    expectNear(apply(t.woopRows, t.p3 + cross(t.p2 - t.p1, t.p3 - t.p1)), {0, 0, 1});

    // Flat faces carry the unnormalised face normal; area is half the cross product.
    const Vector3d n = cross(t.p2 - t.p1, t.p3 - t.p1);
    EXPECT_EQ(t.normal1.x, n.x);
    EXPECT_EQ(t.normal3.z, n.z);
    EXPECT_FLOAT_EQ(t.area, length(cross(t.p1 - t.p2, t.p1 - t.p3)) / 2);
    EXPECT_EQ(t.bounds.min.x, -1.0f);
    EXPECT_EQ(t.bounds.max.y, 2.0f);

    // Device packing: columns of the linear part, each with one translation
    // component, then the normal and the material's bits.
    ASSERT_EQ(p.woop, s.woopTriangles);
    const auto woop = download(p.woop, 4);
    EXPECT_EQ(woop[0].x, t.woopRows[0]);
    EXPECT_EQ(woop[0].y, t.woopRows[3]);
    EXPECT_EQ(woop[0].z, t.woopRows[6]);
    EXPECT_EQ(woop[0].w, t.woopRows[9]);
    EXPECT_EQ(woop[2].y, t.woopRows[5]);
    EXPECT_EQ(woop[2].w, t.woopRows[11]);
    EXPECT_EQ(woop[3].x, n.x);
    int32_t bits;
    std::memcpy(&bits, &woop[3].w, sizeof bits);
    EXPECT_EQ(bits, 1);

    const auto tris = download(s.deviceTriangles, 1);
    EXPECT_EQ(tris[0].materialIndex, 1);
    EXPECT_EQ(tris[0].isLight, 1);
    EXPECT_EQ(tris[0].p2.x, 3.0f);
    EXPECT_EQ(tris[0].invArea, static_cast<float>(1.0 / static_cast<double>(t.area)));
}

TEST(MeshBlock, AFaceIsALightExactlyWhenItsMaterialEmits) {
    Scene s;
    // Object a: a plain face, a lamp face, then a plain face again after a
    // second usemtl. Object b has no usemtl of its own and inherits the
    // lamp material; object c switches back to the plain one.
    const auto p = parse(scene("mesh 3\n\no 0 a\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m\nf 1 2 3\n"
                               "usemtl 1 lamp\nf 1 2 3\nusemtl 0 m\nf 1 3 2\n"
                               "usemtl 1 lamp\n"
                               "o 1 b\nf 2 3 1\nf 3 1 2\n"
                               "o 2 c\nusemtl 0 m\nf 1 2 3\n"),
                         s);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(s.triangleCount, 6);
    const int expected[6] = {0, 1, 0, 1, 1, 0};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(s.hostTriangles[i].isLight, expected[i]) << "face " << i;
        EXPECT_EQ(s.hostTriangles[i].materialIndex, expected[i]) << "face " << i;
    }
    EXPECT_EQ(s.lightCount, 3);
    const auto tris = download(s.deviceTriangles, 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(tris[static_cast<std::size_t>(i)].isLight, expected[i]) << "face " << i;
}

TEST(MeshBlock, MovableObjectsRecordTheirTrianglesAndBox) {
    Scene s;
    const auto p = parse(scene("mesh 3\no 0 fixed\nmovable true\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m\n"
                               "f 1 2 3\n"
                               "o 1 bunny\nmovable True\nv 5 5 5\nv 6 5 5\nv 5 7 5\nf 4 5 6\nf 4 6 5\n"
                               "o 2 rest\nf 1 2 3\n"),
                         s);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(s.movableCount, 1);  // "true" is not "True"
    const Movable& m = s.movables[0];
    EXPECT_EQ(m.firstTriangle, 1);
    EXPECT_EQ(m.triangleCount, 2);
    EXPECT_EQ(m.offset.x, 0.0f);
    EXPECT_EQ(m.bounds.min.x, 5.0f);
    EXPECT_EQ(m.bounds.max.y, 7.0f);
    EXPECT_EQ(s.triangleCount, 4);
    EXPECT_EQ(p.bounds.max.x, 6.0f);
    EXPECT_EQ(s.bounds.min.z, 0.0f);
}

// Objects are kept with their triangles; the largest one that is not movable
// gives the material the window's wall sliders edit first (the material
// covering most of it).
TEST(MeshBlock, ObjectsAndTheLargestFixedObjectsMaterial) {
    const std::string five = "material\n5\n\n" + lumenar::test::materialEntry(0) +
                             lumenar::test::materialEntry(1) + lumenar::test::materialEntry(2) +
                             lumenar::test::materialEntry(3) + lumenar::test::materialEntry(4, "5 5 5");
    // The movable giant (area 50) does not count; "room" (area 8: 6 of
    // material 2, 2 of material 1) beats "small" (area 4.5, material 3).
    const std::string text = "t\n" + five +
                             "mesh 4\n\no 0 giant\nmovable True\nv 0 0 0\nv 10 0 0\nv 0 10 0\n"
                             "usemtl 0 m\nf 1 2 3\n"
                             "o 1 small\nv 0 0 1\nv 3 0 1\nv 0 3 1\nusemtl 3 glass\nf 4 5 6\n"
                             "o 2 room\nv 0 0 2\nv 2 0 2\nv 0 2 2\nv 0 6 2\nusemtl 1 m\nf 7 8 9\n"
                             "usemtl 2 m\nf 7 8 10\n"
                             "o 3 lamp\nusemtl 4 lamp\nf 7 8 9\n";
    Scene s;
    const auto p = parse(text, s);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(s.objects.size(), 4u);
    const int first[4] = {0, 1, 2, 4}, count[4] = {1, 1, 2, 1};
    const char* names[4] = {"giant", "small", "room", "lamp"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(s.objects[i].name, names[i]);
        EXPECT_EQ(s.objects[i].firstTriangle, first[i]) << names[i];
        EXPECT_EQ(s.objects[i].triangleCount, count[i]) << names[i];
        EXPECT_EQ(s.objects[i].movable, i == 0) << names[i];
    }
    EXPECT_EQ(largestFixedObjectMaterial(s), 2);

    // Nothing fixed, or no objects at all: no such material.
    Scene onlyMovable;
    ASSERT_EQ(parse(scene("mesh 1\no 0 a\nmovable True\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m\nf 1 2 3\n"),
                    onlyMovable)
                  .status,
              ParseStatus::Ok);
    EXPECT_EQ(largestFixedObjectMaterial(onlyMovable), -1);
    EXPECT_EQ(largestFixedObjectMaterial(Scene()), -1);
}

TEST(MeshBlock, SmoothingAndTextureFlagsChooseTheFaceFormat) {
    Scene s;
    const auto p = parse(scene("mesh 3\no 0 textured\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvt 1 0\nvt 0 1\n"
                               "vn 0 0 2\nvn 0 1 0\nvn 1 0 0\nusemtl 0 m\ns on\nf 1/1/1 2/2/2 3/3/3\n"
                               // vt of object 0 does not set this object's flag: v//n
                               "o 1 smooth\ns on\nf 1//3 2//2 3//1\n"
                               // its own vt line sets the flag; indices reach earlier coordinates
                               "o 2 again\nvt 0.5 0.5\ns on\nf 3/4/1 2/1/1 1/2/1\ns off\nf 1 2 3\n"),
                         s);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    ASSERT_EQ(s.triangleCount, 4);
    const Triangle& a = s.hostTriangles[0];
    EXPECT_EQ(a.uv2.u, 1.0f);
    EXPECT_EQ(a.uv3.v, 1.0f);
    EXPECT_EQ(a.normal1.z, 2.0f);  // normals are kept as written
    EXPECT_EQ(a.normal2.y, 1.0f);
    const Triangle& b = s.hostTriangles[1];
    EXPECT_EQ(b.normal1.x, 1.0f);
    EXPECT_EQ(b.normal3.z, 2.0f);
    const Triangle& c = s.hostTriangles[2];
    EXPECT_EQ(c.uv1.u, 0.5f);
    EXPECT_EQ(c.uv2.u, 0.0f);
    EXPECT_EQ(c.p1.y, 1.0f);
    // "s off" switches back to flat faces.
    EXPECT_EQ(s.hostTriangles[3].normal1.z, 1.0f);
}

TEST(MeshBlock, ObjectEndsAndHeaders) {
    // An object ended by "o": the later headers are read without it.
    Scene s;
    auto p = parse(scene("mesh 3\no 0 a\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m\nf 1 2 3\n"
                         "o 1 b\nf 1 2 3\no 2 c\nf 1 3 2\n"),
                   s);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    EXPECT_EQ(s.triangleCount, 3);

    // Any other word ends the object too, dropped, and leaves the reader
    // before the line break: the next header ("o" first) cannot match. So
    // only the last object may end that way (a quad's fourth index here).
    Scene q;
    p = parse(scene("mesh 2\no 0 a\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m\nf 1 2 3\no 1 b\nf 1 2 3 1\n"), q);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    EXPECT_EQ(q.triangleCount, 2);
    p = parse(scene("mesh 2\no 0 a\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m\nf 1 2 3\ng\no 1 b\n"), q);
    EXPECT_EQ(p.status, ParseStatus::Failed);
    EXPECT_NE(p.out.find("invalid index! (input:40: expected the header of object 1, found \"o\")"),
              std::string::npos)
        << p.out;
    EXPECT_EQ(q.triangleCount, 2);  // the earlier scene stays

    // The word after the mesh block is swallowed; the one after it is a keyword again.
    Scene w;
    p = parse(scene("mesh 1\no 0 a\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl 0 m\nf 1 2 3\nbgcolor\n1 1 1\n"), w);
    EXPECT_EQ(p.status, ParseStatus::Failed);
    EXPECT_NE(p.out.find("invalid token included! (input:41: \"1\" is not a block keyword)"),
              std::string::npos)
        << p.out;

    // A block of zero objects lets more blocks follow.
    Scene z;
    p = parse(scene("mesh 0\nbgcolor 1 0 0\n"), z);
    ASSERT_EQ(p.status, ParseStatus::Ok) << p.out;
    EXPECT_EQ(z.bgcolor.r, 1.0f);

    Scene bad;
    p = parse(scene("mesh 2\no 0 a\nv 0 0 0\no 2 b\n"), bad);
    EXPECT_EQ(p.status, ParseStatus::Failed);
    EXPECT_NE(p.out.find("invalid index! (input:36: object 2 where object 1 was expected)"),
              std::string::npos)
        << p.out;

    p = parse(scene("mesh 3\no 0 a\nv 0 0 0\no 1 b\n"), bad);
    EXPECT_EQ(p.status, ParseStatus::Failed);
    EXPECT_NE(p.out.find("invalid index! (input:36: the file ends before object 2 of 3)"), std::string::npos)
        << p.out;

    p = parse(scene("mesh 1\n0 a\n"), bad);
    EXPECT_EQ(p.status, ParseStatus::Failed);
    EXPECT_NE(p.out.find("invalid index! (input:34: expected the header of object 0, found \"0\")"),
              std::string::npos)
        << p.out;
}
