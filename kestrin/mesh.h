#pragma once
// Triangle meshes: parts from CAD and the links of imported robots. A mesh is read once (Assimp
// reads STL, OBJ, DAE and the other formats it knows), kept in memory as it will be drawn and
// checked for collisions, and stored in the project file packed (zlib) under the SHA-256 of its
// content, so that a mesh used by many objects is stored and held once.

#include <QByteArray>
#include <QString>

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kestrin {

/// The most triangles one mesh may have: a part or a link, not a scan of a building. Larger
/// meshes are refused with a message asking for a simplified one.
constexpr std::size_t kMaxMeshTriangles = 2'000'000;
/// Coordinates of a mesh, in its file's own unit, stay within this far of its origin (a kilometre
/// in millimetres); the objects made of it check their size in metres.
constexpr double kMaxMeshCoordinate = 1e6;

class Mesh {
public:
    using Triangle = std::array<std::uint32_t, 3>;

    /// A mesh of these vertices (metres) and triangles. Throws ValueError naming `source` for no
    /// triangles, too many, a vertex index out of range, or a coordinate that is not finite or
    /// lies beyond kMaxMeshCoordinate.
    static std::shared_ptr<const Mesh> make(std::vector<Eigen::Vector3f> vertices,
                                            std::vector<Triangle> triangles, const QString& source);
    /// The mesh that `packed` (as packed() returns it) holds, checked like make() and against
    /// `sha256` (lower-case hex). Throws ValueError saying what is wrong.
    static std::shared_ptr<const Mesh> unpack(const QByteArray& packed, const QString& sha256);

    const std::vector<Eigen::Vector3f>& vertices() const { return m_vertices; }
    const std::vector<Triangle>& triangles() const { return m_triangles; }
    std::size_t triangleCount() const { return m_triangles.size(); }
    /// The box round every vertex, in the mesh's own frame.
    const Eigen::AlignedBox3d& bounds() const { return m_bounds; }
    /// SHA-256 of the mesh's content, lower-case hex: its name in the project file.
    const QString& sha256() const { return m_sha256; }
    /// The content, zlib-compressed, as it is stored in the project file (made once).
    const QByteArray& packed() const { return m_packed; }

private:
    Mesh() = default;
    /// A mesh of these vertices and triangles, checked as make() says, without its SHA-256 and
    /// packed content.
    static std::shared_ptr<Mesh> checked(std::vector<Eigen::Vector3f> vertices,
                                         std::vector<Triangle> triangles, const QString& source);
    std::vector<Eigen::Vector3f> m_vertices;
    std::vector<Triangle> m_triangles;
    Eigen::AlignedBox3d m_bounds;
    QString m_sha256;
    QByteArray m_packed;
};

using MeshRef = std::shared_ptr<const Mesh>;

/// Units a mesh file's numbers may be in.
enum class LengthUnit { Metre, Millimetre, Inch };
/// Metres per unit.
double metresPer(LengthUnit unit);
/// "m", "mm" or "inch".
QString unitName(LengthUnit unit);
/// The unit named "m", "mm", "in" or "inch" (any case); no value for anything else.
std::optional<LengthUnit> unitNamed(const QString& name);

/// Reads every triangle of a mesh file (all of its meshes, placed by the file's own node
/// transforms), its numbers multiplied by `scale` per axis to make metres. Throws FileError for a
/// missing or unreadable file and ValueError for a file without triangles, with too many, or in
/// a format that cannot be read; each message names the file.
MeshRef readMeshFile(const QString& path, const Eigen::Vector3d& scale = Eigen::Vector3d::Ones());

/// The meshes of one project, by content: equal meshes are held once. Meshes are never dropped
/// while the project lives (the undo history and copies may still name them); a file keeps
/// only those its objects use.
class MeshStore {
public:
    /// The stored mesh with the same content as `mesh`, storing `mesh` when there is none.
    MeshRef add(const MeshRef& mesh);
    /// The mesh of that SHA-256, or nullptr.
    MeshRef find(const QString& sha256) const;
    std::size_t size() const { return m_meshes.size(); }
    void swap(MeshStore& other) { m_meshes.swap(other.m_meshes); }

private:
    std::map<QString, MeshRef> m_meshes;
};

} // namespace kestrin
