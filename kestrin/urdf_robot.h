#pragma once
// Robots the user brings, read from a URDF robot description: the chain of joints from a base
// link to a tip link, with their limits, and the links' visual and collision geometry (boxes,
// cylinders, balls and meshes). Once made, such a robot is a robot like the built-in ones.

#include "robot.h"

#include <map>

namespace kestrin {

class MeshStore;

/// What an imported robot is made of, as the project file keeps it: the description's text and
/// the content of each mesh file it names, so that the project opens wherever it is moved.
struct UrdfSource {
    /// The file the description was read from, for messages.
    QString fileName;
    QString text;
    QString baseLink, tipLink;
    /// Each mesh file name as the description writes it, and the SHA-256 of its mesh.
    std::map<QString, QString> meshes;
};

/// A URDF file read and checked, with its meshes read, before a robot is made of it.
class UrdfFile {
public:
    /// Reads the description at `path` and every mesh file it names (package://, file:// and
    /// relative names are looked for from the description's folder), storing the meshes in
    /// `store`. Throws FileError or ValueError naming the file and the link, joint or mesh file
    /// at fault.
    static UrdfFile read(const QString& path, MeshStore& store);

    /// The link at the top of the tree.
    const QString& rootLink() const { return m_root; }
    /// Links a chain can end at: links without children below at least one joint that turns,
    /// the one with the most turning joints above it first.
    const QStringList& tipLinks() const { return m_tips; }
    /// Every link, in the order of the file's tree from the root.
    const QStringList& links() const { return m_links; }
    /// The source of a robot from `base` (empty: the root) to `tip` (empty: the first of
    /// tipLinks()). Throws ValueError when there are several tips and none was chosen, or the
    /// chain cannot be run; see UrdfRobot.
    UrdfSource source(const QString& base = QString(), const QString& tip = QString()) const;

private:
    UrdfSource m_source;
    QString m_root;
    QStringList m_tips, m_links;
};

/// A robot imported from a URDF description. Joints that turn (revolute, and continuous ones,
/// which get limits of a full turn either way) and fixed joints make the chain; a prismatic,
/// floating or planar joint on it, a closed chain, or a turning joint without a velocity limit
/// is refused with the reason. Joint accelerations are not in a description: each joint may
/// reach its full speed in half a second, as for the built-in arms whose makers do not publish
/// them.
class UrdfRobot final : public Robot {
    KESTRIN_TYPE
public:
    /// A robot without joints, for a project file to fill (readJson).
    UrdfRobot(Workspace* workspace, const QString& name);
    /// The robot `source` describes, its meshes taken from the workspace's mesh store. Throws
    /// ValueError like UrdfFile::source, leaving nothing behind.
    UrdfRobot(Workspace* workspace, const QString& name, const UrdfSource& source);

    const UrdfSource& source() const { return m_source; }
    QString modelKey() const override { return m_modelKey; }

    void writeJson(QJsonObject& json) const override;
    void readJson(const QJsonObject& json, const JsonContext& ctx) override;
    /// Reads the description from a record as writeJson writes it, and becomes the robot it
    /// describes unless it is already (for readJson and the undo history).
    void _readSource(const QJsonObject& json, const JsonContext& ctx);

    /// The robot's model as `source` describes it, meshes from `store`. Throws ValueError
    /// naming the description's file and the link or joint at fault.
    static Model modelOf(const UrdfSource& source, const MeshStore& store);

private:
    static QString keyOf(const UrdfSource& source);
    UrdfSource m_source;
    QString m_modelKey;
};

} // namespace kestrin
