#include "mesh.h"

#include "error.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QtEndian>

#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <cmath>
#include <cstring>
#include <mutex>

namespace kestrin {

namespace {

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN,
              "packed meshes are stored little-endian as they lie in memory");

// Packed content: vertex count and triangle count (32 bits each), then x, y, z of each vertex
// (32-bit floats), then the three vertex indices of each triangle (32 bits each).
constexpr std::size_t kHeader = 8;

std::size_t contentSize(std::size_t vertices, std::size_t triangles) {
    return kHeader + vertices * 3 * sizeof(float) + triangles * 3 * sizeof(std::uint32_t);
}

QByteArray contentOf(const std::vector<Eigen::Vector3f>& vertices,
                     const std::vector<Mesh::Triangle>& triangles) {
    QByteArray bytes(static_cast<int>(contentSize(vertices.size(), triangles.size())), Qt::Uninitialized);
    char* at = bytes.data();
    const std::uint32_t counts[2] = {static_cast<std::uint32_t>(vertices.size()),
                                     static_cast<std::uint32_t>(triangles.size())};
    std::memcpy(at, counts, kHeader);
    at += kHeader;
    for (const Eigen::Vector3f& v : vertices) {
        std::memcpy(at, v.data(), 3 * sizeof(float));
        at += 3 * sizeof(float);
    }
    for (const Mesh::Triangle& t : triangles) {
        std::memcpy(at, t.data(), 3 * sizeof(std::uint32_t));
        at += 3 * sizeof(std::uint32_t);
    }
    return bytes;
}

[[noreturn]] void refuseTriangles(const QString& source, std::size_t count) {
    throw ValueError(QStringLiteral("%1 has %L2 triangles; a mesh may have at most %L3. Simplify it "
                                    "(decimate it in your CAD or mesh program) and import it again.")
                         .arg(source)
                         .arg(static_cast<qulonglong>(count))
                         .arg(static_cast<qulonglong>(kMaxMeshTriangles)));
}

QString sha256Of(const QByteArray& content) {
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
}

} // namespace

std::shared_ptr<const Mesh> Mesh::make(std::vector<Eigen::Vector3f> vertices, std::vector<Triangle> triangles,
                                       const QString& source) {
    auto mesh = checked(std::move(vertices), std::move(triangles), source);
    const QByteArray content = contentOf(mesh->m_vertices, mesh->m_triangles);
    mesh->m_sha256 = sha256Of(content);
    mesh->m_packed = qCompress(content, 6);
    return mesh;
}

std::shared_ptr<Mesh> Mesh::checked(std::vector<Eigen::Vector3f> vertices, std::vector<Triangle> triangles,
                                    const QString& source) {
    if (triangles.empty())
        throw ValueError(QStringLiteral("%1 holds no triangles.").arg(source));
    if (triangles.size() > kMaxMeshTriangles)
        refuseTriangles(source, triangles.size());
    if (vertices.size() > 3 * kMaxMeshTriangles)
        throw ValueError(QStringLiteral("%1 has more vertices (%L2) than its triangles can use.")
                             .arg(source)
                             .arg(static_cast<qulonglong>(vertices.size())));
    auto mesh = std::shared_ptr<Mesh>(new Mesh);
    for (const Eigen::Vector3f& v : vertices) {
        if (!v.allFinite() || v.cwiseAbs().maxCoeff() > kMaxMeshCoordinate)
            throw ValueError(QStringLiteral("%1 has a vertex at (%2, %3, %4); every coordinate must be a "
                                            "number within %5 of the mesh's origin.")
                                 .arg(source)
                                 .arg(double(v.x()))
                                 .arg(double(v.y()))
                                 .arg(double(v.z()))
                                 .arg(kMaxMeshCoordinate));
        mesh->m_bounds.extend(v.cast<double>());
    }
    const std::uint32_t count = static_cast<std::uint32_t>(vertices.size());
    for (std::size_t i = 0; i < triangles.size(); ++i)
        for (std::uint32_t index : triangles[i])
            if (index >= count)
                throw ValueError(
                    QStringLiteral("%1: triangle %2 names vertex %3, but the mesh has %4 vertices.")
                        .arg(source)
                        .arg(i + 1)
                        .arg(index + 1)
                        .arg(count));
    mesh->m_vertices = std::move(vertices);
    mesh->m_triangles = std::move(triangles);
    return mesh;
}

std::shared_ptr<const Mesh> Mesh::unpack(const QByteArray& packed, const QString& sha256) {
    // A mesh held anywhere in the program (another open project, a trial's copy, the undo
    // history's) is the same mesh: it is shared, not unpacked again.
    static std::mutex lock;
    static std::map<QString, std::weak_ptr<const Mesh>> live;
    {
        const std::lock_guard<std::mutex> guard(lock);
        const auto it = live.find(sha256);
        if (it != live.end())
            if (MeshRef mesh = it->second.lock())
                return mesh;
    }
    const QString source = QStringLiteral("Mesh %1").arg(sha256.left(12));
    // qCompress puts the content's size first (big-endian); refuse what could not be a mesh
    // before making room for it.
    const std::size_t largest = contentSize(3 * kMaxMeshTriangles, kMaxMeshTriangles);
    if (packed.size() < 4 || qFromBigEndian<quint32>(packed.constData()) > largest)
        throw ValueError(QStringLiteral("%1 is not a packed mesh (its stated size is wrong).").arg(source));
    const QByteArray content = qUncompress(packed);
    if (content.size() < static_cast<int>(kHeader))
        throw ValueError(QStringLiteral("%1 is damaged: it cannot be unpacked.").arg(source));
    std::uint32_t counts[2];
    std::memcpy(counts, content.constData(), kHeader);
    if (counts[0] > 3 * kMaxMeshTriangles || counts[1] > kMaxMeshTriangles ||
        static_cast<std::size_t>(content.size()) != contentSize(counts[0], counts[1]))
        throw ValueError(QStringLiteral("%1 is damaged: its size does not match its counts.").arg(source));
    if (sha256Of(content) != sha256)
        throw ValueError(
            QStringLiteral("%1 is damaged: its content does not match its SHA-256.").arg(source));
    std::vector<Eigen::Vector3f> vertices(counts[0]);
    std::vector<Triangle> triangles(counts[1]);
    const char* at = content.constData() + kHeader;
    for (Eigen::Vector3f& v : vertices) {
        std::memcpy(v.data(), at, 3 * sizeof(float));
        at += 3 * sizeof(float);
    }
    for (Triangle& t : triangles) {
        std::memcpy(t.data(), at, 3 * sizeof(std::uint32_t));
        at += 3 * sizeof(std::uint32_t);
    }
    auto mesh = checked(std::move(vertices), std::move(triangles), source);
    mesh->m_sha256 = sha256;
    mesh->m_packed = packed; // as it was stored, so that saving writes the same bytes
    const std::lock_guard<std::mutex> guard(lock);
    for (auto it = live.begin(); it != live.end();)
        it = it->second.expired() ? live.erase(it) : std::next(it);
    live[sha256] = mesh;
    return mesh;
}

double metresPer(LengthUnit unit) {
    switch (unit) {
    case LengthUnit::Metre:
        return 1.0;
    case LengthUnit::Millimetre:
        return 0.001;
    case LengthUnit::Inch:
        return 0.0254;
    }
    return 1.0;
}

QString unitName(LengthUnit unit) {
    switch (unit) {
    case LengthUnit::Metre:
        return QStringLiteral("m");
    case LengthUnit::Millimetre:
        return QStringLiteral("mm");
    case LengthUnit::Inch:
        return QStringLiteral("inch");
    }
    return QString();
}

std::optional<LengthUnit> unitNamed(const QString& name) {
    const QString n = name.trimmed().toLower();
    if (n == QLatin1String("m"))
        return LengthUnit::Metre;
    if (n == QLatin1String("mm"))
        return LengthUnit::Millimetre;
    if (n == QLatin1String("in") || n == QLatin1String("inch"))
        return LengthUnit::Inch;
    return std::nullopt;
}

MeshRef readMeshFile(const QString& path, const Eigen::Vector3d& scale) {
    const QFileInfo info(path);
    if (!info.exists())
        throw FileError(QStringLiteral("Mesh file '%1' was not found.").arg(path));
    if (!info.isFile() || !info.isReadable())
        throw FileError(
            QStringLiteral("Mesh file '%1' cannot be read: it is a folder or not readable.").arg(path));
    if (!scale.allFinite() || (scale.array() <= 0).any())
        throw ValueError(
            QStringLiteral("Mesh file '%1' was given a scale of (%2, %3, %4); each must be positive.")
                .arg(path)
                .arg(scale.x())
                .arg(scale.y())
                .arg(scale.z()));
    Assimp::Importer importer;
    // Keep the file's axes as they are: robot descriptions give Collada meshes in the link's own
    // frame whatever up axis the file names. (Its unit is still applied.)
    importer.SetPropertyBool(AI_CONFIG_IMPORT_COLLADA_IGNORE_UP_DIRECTION, true);
    // Points and lines are not part of a solid; drop them.
    importer.SetPropertyInteger(AI_CONFIG_PP_SBP_REMOVE, aiPrimitiveType_POINT | aiPrimitiveType_LINE);
    const aiScene* scene =
        importer.ReadFile(QFile::encodeName(path).constData(),
                          aiProcess_Triangulate | aiProcess_JoinIdenticalVertices | aiProcess_SortByPType);
    if (!scene || !scene->mRootNode)
        throw ValueError(QStringLiteral("Mesh file '%1' cannot be read: %2")
                             .arg(path, QString::fromLocal8Bit(importer.GetErrorString())));

    std::vector<Eigen::Vector3f> vertices;
    std::vector<Mesh::Triangle> triangles;
    std::size_t total = 0;
    for (unsigned m = 0; m < scene->mNumMeshes; ++m)
        total += scene->mMeshes[m]->mNumFaces;
    const QString source = QStringLiteral("Mesh file '%1'").arg(path);
    if (total > kMaxMeshTriangles) // say so before making room for them all
        refuseTriangles(source, total);

    // Every mesh of every node, placed by the transforms down to it; a mesh used by two nodes
    // is there twice.
    struct Visit {
        const aiNode* node;
        aiMatrix4x4 transform;
    };
    std::vector<Visit> stack{{scene->mRootNode, scene->mRootNode->mTransformation}};
    while (!stack.empty()) {
        const Visit visit = stack.back();
        stack.pop_back();
        for (unsigned c = 0; c < visit.node->mNumChildren; ++c)
            stack.push_back(
                {visit.node->mChildren[c], visit.transform * visit.node->mChildren[c]->mTransformation});
        for (unsigned k = 0; k < visit.node->mNumMeshes; ++k) {
            const aiMesh* mesh = scene->mMeshes[visit.node->mMeshes[k]];
            if (!(mesh->mPrimitiveTypes & aiPrimitiveType_TRIANGLE))
                continue;
            const std::uint32_t first = static_cast<std::uint32_t>(vertices.size());
            for (unsigned v = 0; v < mesh->mNumVertices; ++v) {
                const aiVector3D p = visit.transform * mesh->mVertices[v];
                vertices.emplace_back(float(p.x * scale.x()), float(p.y * scale.y()), float(p.z * scale.z()));
            }
            for (unsigned f = 0; f < mesh->mNumFaces; ++f) {
                const aiFace& face = mesh->mFaces[f];
                if (face.mNumIndices == 3)
                    triangles.push_back(
                        {first + face.mIndices[0], first + face.mIndices[1], first + face.mIndices[2]});
            }
        }
    }
    return Mesh::make(std::move(vertices), std::move(triangles), source);
}

MeshRef MeshStore::add(const MeshRef& mesh) {
    auto [it, added] = m_meshes.emplace(mesh->sha256(), mesh);
    return it->second;
}

MeshRef MeshStore::find(const QString& sha256) const {
    auto it = m_meshes.find(sha256);
    return it == m_meshes.end() ? nullptr : it->second;
}

} // namespace kestrin
