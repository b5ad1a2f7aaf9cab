#pragma once
// Files to import, written by the tests: binary STL meshes and a six-joint arm described in URDF
// whose joint origins are the UR5e's published link parameters, with a mesh for each link.

#include <QDir>
#include <QFile>
#include <QString>
#include <QTextStream>

#include <Eigen/Core>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace import_samples {

using Triangle = std::array<Eigen::Vector3f, 3>;

/// Writes a binary STL file of these triangles; false when it could not.
inline bool writeStl(const QString& path, const std::vector<Triangle>& triangles) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray bytes(80, ' ');
    const std::uint32_t count = static_cast<std::uint32_t>(triangles.size());
    bytes.append(reinterpret_cast<const char*>(&count), 4);
    for (const Triangle& t : triangles) {
        const Eigen::Vector3f n = (t[1] - t[0]).cross(t[2] - t[0]).normalized();
        bytes.append(reinterpret_cast<const char*>(n.data()), 12);
        for (const Eigen::Vector3f& v : t)
            bytes.append(reinterpret_cast<const char*>(v.data()), 12);
        bytes.append(2, '\0');
    }
    return file.write(bytes) == bytes.size() && file.flush();
}

/// The twelve triangles of a box from `low` to `high`, facing out.
inline std::vector<Triangle> boxTriangles(const Eigen::Vector3f& low, const Eigen::Vector3f& high) {
    auto corner = [&](int i) {
        return Eigen::Vector3f(i & 1 ? high.x() : low.x(), i & 2 ? high.y() : low.y(),
                               i & 4 ? high.z() : low.z());
    };
    const int faces[6][4] = {{0, 2, 3, 1}, {4, 5, 7, 6}, {0, 1, 5, 4},
                             {2, 6, 7, 3}, {0, 4, 6, 2}, {1, 3, 7, 5}};
    std::vector<Triangle> out;
    for (const auto& f : faces) {
        out.push_back({corner(f[0]), corner(f[1]), corner(f[2])});
        out.push_back({corner(f[0]), corner(f[2]), corner(f[3])});
    }
    return out;
}

/// An L of two boxes in a 1 x 1 x 0.2 box: the bar along x (y from 0 to 0.2) and the bar along
/// y (x from 0 to 0.2); the corner from (0.2, 0.2) to (1, 1) is empty. In the file's unit.
inline std::vector<Triangle> lTriangles() {
    std::vector<Triangle> out = boxTriangles({0, 0, 0}, {1, 0.2f, 0.2f});
    for (const Triangle& t : boxTriangles({0, 0.2f, 0}, {0.2f, 1, 0.2f}))
        out.push_back(t);
    return out;
}

/// The UR5e's published DH parameters (a, alpha, d per joint), which the built-in UR5e uses.
inline const double kUr5eDh[6][3] = {{0, M_PI / 2, 0.1625}, {-0.425, 0, 0},         {-0.3922, 0, 0},
                                     {0, M_PI / 2, 0.1333}, {0, -M_PI / 2, 0.0997}, {0, 0, 0.0996}};

/// Writes `ur5e.urdf` into `folder`, with meshes/link.stl (a 5 cm block) drawn on each link
/// through a package:// name and cylinders for collisions, and returns its path. Each joint
/// turns about its own z after the previous row's translation and twist, which makes the chain
/// base -> shoulder -> ... -> wrist_3 -> flange the DH chain; `extra` goes inside <robot>.
inline QString writeUr5e(const QDir& folder, const QString& extra = QString(), bool meshes = true) {
    folder.mkpath(QStringLiteral("ur_parts/meshes"));
    writeStl(folder.filePath(QStringLiteral("ur_parts/meshes/link.stl")),
             boxTriangles({-0.025f, -0.025f, -0.025f}, {0.025f, 0.025f, 0.025f}));
    const char* links[] = {"base_link",    "shoulder_link", "upper_arm_link", "forearm_link",
                           "wrist_1_link", "wrist_2_link",  "wrist_3_link"};
    QString text;
    QTextStream out(&text);
    out.setRealNumberPrecision(17);
    out << "<?xml version=\"1.0\"?>\n<robot name=\"ur5e\">\n";
    for (const char* link : links) {
        out << "  <link name=\"" << link << "\">\n";
        if (meshes)
            out << "    <visual><geometry><mesh "
                   "filename=\"package://ur_parts/meshes/link.stl\"/></geometry></visual>\n";
        out << "    <collision><geometry><cylinder radius=\"0.04\" "
               "length=\"0.08\"/></geometry></collision>\n";
        out << "  </link>\n";
    }
    out << "  <link name=\"flange\"/>\n";
    const char* joints[] = {"shoulder_pan", "shoulder_lift", "elbow", "wrist_1", "wrist_2", "wrist_3"};
    for (int j = 0; j < 6; ++j) {
        // Joint j turns link j + 1 about z after row j - 1's translation and twist.
        const double a = j == 0 ? 0 : kUr5eDh[j - 1][0], alpha = j == 0 ? 0 : kUr5eDh[j - 1][1],
                     d = j == 0 ? 0 : kUr5eDh[j - 1][2];
        out << "  <joint name=\"" << joints[j] << "\" type=\"revolute\">\n"
            << "    <parent link=\"" << links[j] << "\"/><child link=\"" << links[j + 1] << "\"/>\n"
            << "    <origin xyz=\"" << a << " 0 " << d << "\" rpy=\"" << alpha << " 0 0\"/>\n"
            << "    <axis xyz=\"0 0 1\"/>\n"
            << "    <limit lower=\"" << (j == 2 ? -M_PI : -2 * M_PI) << "\" upper=\""
            << (j == 2 ? M_PI : 2 * M_PI) << "\" velocity=\"3.14159\" effort=\"150\"/>\n"
            << "  </joint>\n";
    }
    out << "  <joint name=\"flange_joint\" type=\"fixed\">\n"
        << "    <parent link=\"wrist_3_link\"/><child link=\"flange\"/>\n"
        << "    <origin xyz=\"" << kUr5eDh[5][0] << " 0 " << kUr5eDh[5][2] << "\" rpy=\"" << kUr5eDh[5][1]
        << " 0 0\"/>\n"
        << "  </joint>\n"
        << extra << "</robot>\n";
    out.flush();
    const QString path = folder.filePath(QStringLiteral("ur5e.urdf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) != text.toUtf8().size())
        return QString();
    return path;
}

} // namespace import_samples
