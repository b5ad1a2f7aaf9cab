#include "workspace.h"

#include "effector.h"
#include "error.h"
#include "items.h"
#include "naming.h"
#include "project.h"
#include "robot.h"
#include "tool_frame.h"

#include <algorithm>
#include <cmath>

namespace kestrin {

namespace {
constexpr double kCell = 0.25;   // floor grid used to keep objects apart, in metres
constexpr double kMargin = 0.05; // free space kept around each object's footprint

// Packs a footprint's extent and scrambles it with a bijective mix, so that Qt's hash of the
// key spreads neighbouring values well (the plain packed value collides badly).
qint64 cellKey(int x, int y) {
    quint64 z = (static_cast<quint64>(static_cast<quint32>(x)) << 32) | static_cast<quint32>(y);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return static_cast<qint64>(z ^ (z >> 31));
}
} // namespace

const Type& Workspace::staticType() {
    static const Type t("Workspace", nullptr);
    return t;
}

const Type& WorkspaceState::staticType() {
    static const Type t("WorkspaceState", nullptr);
    return t;
}

bool WorkspaceState::operator==(const WorkspaceState& o) const {
    if (m_entries.size() != o.m_entries.size())
        return false;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const Entry &a = m_entries[i], &b = o.m_entries[i];
        if (a.id != b.id || a.transform != b.transform || a.joints.size() != b.joints.size() ||
            a.joints != b.joints || a.heldBy != b.heldBy || a.grip != b.grip)
            return false;
    }
    return true;
}

Workspace::Workspace(Project* project) : m_project(project), m_byName(kCategoryCount) {
    for (int i = 0; i < kCategoryCount; ++i)
        m_names.push_back(std::make_unique<NameRegistry>());
}

Workspace::~Workspace() = default;

QStringList Workspace::getRobots() const {
    QStringList names;
    for (const auto& o : m_objects)
        if (o->category() == Category::Robot)
            names << o->name();
    return names;
}

QStringList Workspace::getToolFrames() const {
    QStringList names;
    for (const auto& o : m_objects)
        if (o->category() == Category::Robot)
            names << static_cast<Robot*>(o.get())->getToolFrames();
    return names;
}

Robot* Workspace::getRobot(const QString& name) const {
    if (Robot* r = findRobot(name))
        return r;
    if (name.isEmpty())
        throw NotFoundError(QStringLiteral("No robot was chosen: add a robot to the cell first."));
    throw NotFoundError(QStringLiteral("There is no robot named '%1' in the cell.").arg(name));
}

ToolFrame* Workspace::getToolFrame(const QString& name) const {
    if (ToolFrame* t = findToolFrame(name))
        return t;
    if (name.isEmpty())
        throw NotFoundError(QStringLiteral("No tool frame was chosen: add a tool frame to a robot first."));
    throw NotFoundError(QStringLiteral("There is no tool frame named '%1' on any robot.").arg(name));
}

WorkspaceObject* Workspace::find(Category category, const QString& name) const {
    return m_byName[static_cast<size_t>(category)].value(name, nullptr);
}

Robot* Workspace::findRobot(const QString& name) const {
    return static_cast<Robot*>(find(Category::Robot, name));
}

ToolFrame* Workspace::findToolFrame(const QString& name) const {
    auto* t = static_cast<ToolFrame*>(find(Category::ToolFrame, name));
    return t && t->isListed() ? t : nullptr;
}

TaskRegion* Workspace::findTaskRegion(const QString& name) const {
    return static_cast<TaskRegion*>(find(Category::TaskRegion, name));
}

std::vector<WorkspaceObject*> Workspace::objects() const {
    std::vector<WorkspaceObject*> out;
    out.reserve(m_objects.size());
    for (const auto& o : m_objects)
        if (o->isListed())
            out.push_back(o.get());
    return out;
}

void Workspace::addObserver(WorkspaceObserver* observer) const {
    m_observers.push_back(observer);
}

void Workspace::removeObserver(WorkspaceObserver* observer) const {
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), observer), m_observers.end());
}

void Workspace::_objectChanged(const WorkspaceObject& object) {
    for (WorkspaceObserver* observer : m_observers)
        observer->objectChanged(object);
}

void Workspace::_notify(ProjectChange::Kind kind, const WorkspaceObject& object, const QString& oldName) {
    if (m_project && m_byId.value(object.id()) == &object)
        m_project->_notify(ProjectChange::Subject::Object, kind, object.id(), oldName);
}

QString Workspace::_uniqueName(Category category, const QString& wanted) const {
    return m_names[static_cast<size_t>(category)]->uniqueName(wanted);
}

void Workspace::_adopt(WorkspaceObject* object) {
    const auto c = static_cast<size_t>(object->category());
    const QString name = m_names[c]->uniqueName(object->name());
    object->_setNameUnchecked(name);
    m_names[c]->insert(name);
    m_byName[c].insert(name, object);
    if (m_restoringId) {
        // Back in its place: objects are listed in the order of their ids.
        object->_setId(m_restoringId);
        m_nextId = std::max(m_nextId, m_restoringId + 1);
        const auto at = std::lower_bound(
            m_objects.begin(), m_objects.end(), m_restoringId,
            [](const std::unique_ptr<WorkspaceObject>& o, quint64 id) { return o->id() < id; });
        m_objects.emplace(at, object);
    } else {
        object->_setId(m_nextId++);
        m_objects.emplace_back(object);
    }
    m_byId.insert(object->id(), object);
    if (object->occupiesFloor()) {
        if (m_autoPlace)
            place(object);
        else
            _updateFloor(object);
    }
    ++m_structureRevision;
    _notify(ProjectChange::Kind::Added, *object);
}

bool Workspace::_reassignId(WorkspaceObject* object, quint64 id) {
    if (object->id() == id)
        return true;
    if (m_byId.contains(id))
        return false;
    m_byId.remove(object->id());
    object->_setId(id);
    m_byId.insert(id, object);
    m_nextId = std::max(m_nextId, id + 1);
    return true;
}

void Workspace::_rename(WorkspaceObject* object, const QString& newName) {
    const auto c = static_cast<size_t>(object->category());
    const QString old = object->name();
    const QString name = m_names[c]->uniqueName(newName);
    m_names[c]->remove(old);
    m_byName[c].remove(old);
    m_names[c]->insert(name);
    m_byName[c].insert(name, object);
    object->_setNameUnchecked(name);
    ++m_structureRevision;
    _notify(ProjectChange::Kind::Renamed, *object, old);
    // What refers to the object by name changed with it: what it carries, what carries it.
    if (object->category() == Category::Robot) {
        for (ToolFrame* frame : static_cast<Robot*>(object)->toolFrames())
            _notify(ProjectChange::Kind::Edited, *frame);
        for (Effector* effector : static_cast<Robot*>(object)->mountedEffectors())
            _notify(ProjectChange::Kind::Edited, *effector);
    } else if (object->category() == Category::ToolFrame) {
        auto* frame = static_cast<ToolFrame*>(object);
        if (frame->robot())
            _notify(ProjectChange::Kind::Edited, *frame->robot());
        for (CustomItem* item : frame->heldItems())
            _notify(ProjectChange::Kind::Edited, *item);
    }
    if (m_project)
        m_project->_objectRenamed(static_cast<int>(object->category()), old, name);
}

void Workspace::remove(WorkspaceObject* object) {
    if (!object || object->workspace() != this || !m_byId.contains(object->id()))
        throw ValueError(QStringLiteral("That object is not part of this cell."));
    if (object->category() == Category::Robot) {
        auto* robot = static_cast<Robot*>(object);
        const std::vector<ToolFrame*> frames = robot->toolFrames();
        for (ToolFrame* frame : frames)
            remove(frame);
        const std::vector<Effector*> mounted = robot->mountedEffectors();
        for (Effector* effector : mounted)
            effector->mountOn(nullptr);
    } else if (object->category() == Category::ToolFrame) {
        // What it holds is let go where it is.
        const std::vector<CustomItem*> held = static_cast<ToolFrame*>(object)->heldItems();
        for (CustomItem* item : held)
            item->holdWith(nullptr);
        if (Robot* robot = static_cast<ToolFrame*>(object)->robot())
            robot->_detachToolFrame(static_cast<ToolFrame*>(object));
    } else if (auto* effector = dynamic_cast<Effector*>(object); effector && effector->robot()) {
        effector->robot()->_effectorMounted(effector, false);
    } else if (auto* item = dynamic_cast<CustomItem*>(object); item && item->heldBy()) {
        item->heldBy()->_itemHeld(item, false);
    }
    if (!m_floorStale) {
        floorFreed(object->_floorCells());
        markFloor(object, false);
    }
    const auto c = static_cast<size_t>(object->category());
    const QString name = object->name();
    const quint64 id = object->id();
    m_names[c]->remove(name);
    m_byName[c].remove(name);
    m_byId.remove(id);
    for (auto it = m_objects.begin(); it != m_objects.end(); ++it) {
        if (it->get() == object) {
            m_objects.erase(it);
            break;
        }
    }
    ++m_structureRevision;
    if (m_project)
        m_project->_notify(ProjectChange::Subject::Object, ProjectChange::Kind::Removed, id);
    // Actions and targets that named the object are left unset rather than dangling, so that
    // the project still saves as a file that loads.
    if (m_project)
        m_project->_objectRenamed(static_cast<int>(c), name, QString());
}

WorkspaceState Workspace::_getState() const {
    WorkspaceState state;
    state.m_entries.reserve(m_objects.size());
    for (const auto& o : m_objects) {
        WorkspaceState::Entry e{o->id(), o->transform(), Eigen::VectorXd(), 0, Transform()};
        if (o->category() == Category::Robot)
            e.joints = static_cast<const Robot*>(o.get())->jointPositions();
        if (const auto* item = dynamic_cast<const CustomItem*>(o.get()); item && item->heldBy()) {
            e.heldBy = item->heldBy()->id();
            e.grip = item->grip();
        }
        state.m_entries.push_back(std::move(e));
    }
    return state;
}

void Workspace::_setState(const WorkspaceState& state) {
    for (const auto& e : state.m_entries) {
        WorkspaceObject* o = m_byId.value(e.id, nullptr);
        if (!o)
            continue;
        if (o->transform() != e.transform)
            o->setTransform(e.transform);
        if (o->category() == Category::Robot && e.joints.size() > 0) {
            auto* robot = static_cast<Robot*>(o);
            if (robot->jointPositions() != e.joints)
                robot->setJointPositions(e.joints);
        }
    }
    // What holds what, once every stored pose is back (an item let go stays where it was put).
    for (const auto& e : state.m_entries) {
        auto* item = dynamic_cast<CustomItem*>(m_byId.value(e.id, nullptr));
        if (!item)
            continue;
        auto* tool = dynamic_cast<ToolFrame*>(m_byId.value(e.heldBy, nullptr));
        if (tool && tool->robot())
            item->holdWith(tool, e.grip);
        else if (item->heldBy()) {
            item->holdWith(nullptr);
            item->setTransform(e.transform);
        }
    }
}

void Workspace::setClearance(double metres) {
    if (!(metres >= 0 && metres <= kMaxClearance))
        throw ValueError(QStringLiteral("The clearance must be between 0 and %1 mm (got %2 mm).")
                             .arg(kMaxClearance * 1000)
                             .arg(metres * 1000));
    if (metres == m_clearance)
        return;
    m_clearance = metres;
    if (m_project)
        m_project->_notify(ProjectChange::Subject::Project, ProjectChange::Kind::Edited, 0);
}

void Workspace::_swapContents(Workspace& other) {
    std::swap(m_clearance, other.m_clearance);
    std::swap(m_objects, other.m_objects);
    std::swap(m_byId, other.m_byId);
    std::swap(m_byName, other.m_byName);
    std::swap(m_names, other.m_names);
    m_floor.swap(other.m_floor);
    std::swap(m_floorStale, other.m_floorStale);
    std::swap(m_searchHint, other.m_searchHint);
    std::swap(m_nextId, other.m_nextId);
    m_meshes.swap(other.m_meshes);
    for (const auto& o : m_objects)
        o->_setWorkspace(this);
    for (const auto& o : other.m_objects)
        o->_setWorkspace(&other);
    // Ids restart in a swapped-in workspace; the revision must still move forwards so that views
    // holding items of the old objects drop them all.
    const quint64 rev = std::max(m_structureRevision, other.m_structureRevision) + 1;
    m_structureRevision = rev;
    other.m_structureRevision = rev;
}

void Workspace::_clear() {
    m_objects.clear();
    m_byId.clear();
    for (auto& h : m_byName)
        h.clear();
    for (auto& n : m_names)
        n->clear();
    m_floor.clear();
    m_floorStale = false;
    m_searchHint.clear();
    ++m_structureRevision;
}

QRect Workspace::footprintCells(const WorkspaceObject* object, const Eigen::Vector3d& centre) const {
    double hx = object->size().x() / 2, hy = object->size().y() / 2;
    if (object->category() == Category::Robot) {
        const double r = std::max(0.3, static_cast<const Robot*>(object)->reach() * 0.5);
        hx = hy = r;
    } else {
        // The axis-aligned extent of the footprint turned by the object's yaw.
        const Eigen::Matrix3d rot = object->transform().orientation.normalized().toRotationMatrix();
        const double ax = std::abs(rot(0, 0)) * hx + std::abs(rot(0, 1)) * hy;
        const double ay = std::abs(rot(1, 0)) * hx + std::abs(rot(1, 1)) * hy;
        hx = ax;
        hy = ay;
    }
    hx += kMargin;
    hy += kMargin;
    // Any finite position is allowed: far beyond the grid's int range, footprints are clamped to
    // its edge (with room left so that loops over the cells never reach INT_MAX).
    const auto cell = [](double metres) {
        return static_cast<int>(std::clamp(std::floor(metres / kCell), -1e9, 1e9));
    };
    const int x0 = cell(centre.x() - hx), x1 = cell(centre.x() + hx);
    const int y0 = cell(centre.y() - hy), y1 = cell(centre.y() + hy);
    return QRect(QPoint(x0, y0), QPoint(x1, y1));
}

bool Workspace::floorFree(const QRect& cells) const {
    return m_floor.noneIn(cells);
}

void Workspace::markFloor(WorkspaceObject* object, bool occupied) {
    const QRect cells = object->_floorCells();
    if (cells.isNull())
        return;
    if (occupied) {
        m_floor.addAll(cells);
    } else {
        m_floor.releaseAll(cells);
        object->_setFloorCells(QRect());
    }
}

// Cells that come free can only open spots whose footprint covers them: the search for each
// footprint shape goes back to the nearest ring that holds such a spot, not to the origin (which
// made every placement after a move, a mount or a removal scan the whole floor).
void Workspace::floorFreed(const QRect& cells) {
    if (cells.isNull())
        return;
    // Distance from 0 to the nearest whole number in [a, b].
    const auto distance = [](qint64 a, qint64 b) -> qint64 {
        return a <= 0 && b >= 0 ? 0 : std::min(std::abs(a), std::abs(b));
    };
    for (auto it = m_searchHint.begin(); it != m_searchHint.end(); ++it) {
        const QRect& shape = it->shape;
        // Spot (i, j) covers the cells shape + (i, j): these bounds hold the spots that overlap
        // `cells`, and the nearest of them lies on this ring.
        const qint64 ring =
            std::max(distance(qint64(cells.left()) - shape.right(), qint64(cells.right()) - shape.left()),
                     distance(qint64(cells.top()) - shape.bottom(), qint64(cells.bottom()) - shape.top()));
        QPoint& resume = it->resume;
        if (ring < resume.x())
            resume = QPoint(int(ring), 0);
        else if (ring == resume.x())
            resume.setY(0);
    }
}

void Workspace::_setFloorDeferred(bool on) {
    m_floorDeferred = on;
    if (on)
        m_floorStale = true;
}

void Workspace::ensureFloor() {
    if (!m_floorStale || m_floorDeferred)
        return;
    m_floorStale = false;
    // Work out every footprint first, so that the table of cells is sized once.
    std::size_t cells = m_floor.size();
    for (const auto& object : m_objects) {
        floorFreed(object->_floorCells());
        markFloor(object.get(), false);
        if (object->occupiesFloor()) {
            const QRect footprint = footprintCells(object.get(), object->transform().position);
            object->_setFloorCells(footprint);
            cells += FloorGrid::entriesFor(footprint);
        }
    }
    m_floor.reserve(cells);
    for (const auto& object : m_objects)
        markFloor(object.get(), true);
}

void Workspace::_updateFloor(WorkspaceObject* object) {
    // A floor not marked yet is marked from the poses as they are when it is first needed.
    if (m_floorDeferred || m_floorStale)
        return;
    floorFreed(object->_floorCells());
    markFloor(object, false);
    if (object->occupiesFloor()) {
        object->_setFloorCells(footprintCells(object, object->transform().position));
        markFloor(object, true);
    }
}

void Workspace::place(WorkspaceObject* object) {
    ensureFloor();
    const QRect shape = footprintCells(object, Eigen::Vector3d::Zero());
    const qint64 shapeKey = cellKey(shape.width(), shape.height());
    // Search rings of cells around the origin, nearest first, for a spot where the whole
    // footprint is free. Rings found full for this footprint are skipped next time.
    auto tryAt = [&](int i, int j) {
        const Eigen::Vector3d centre(i * kCell, j * kCell, object->transform().position.z());
        const QRect cells = footprintCells(object, centre);
        if (!floorFree(cells))
            return false;
        object->m_transform.position = centre;
        object->_setFloorCells(cells);
        markFloor(object, true);
        return true;
    };
    // Ring r > 0 has 8r spots, walked as four sides of 2r spots each.
    auto spot = [](int ring, int k) {
        const int side = k / (2 * ring), offset = k % (2 * ring);
        switch (side) {
        case 0:
            return QPoint(-ring + offset, -ring);
        case 1:
            return QPoint(ring, -ring + offset);
        case 2:
            return QPoint(ring - offset, ring);
        default:
            return QPoint(-ring, ring - offset);
        }
    };
    // Resume where the last object of this footprint went: everything before it was full then.
    const QPoint hint = m_searchHint.value(shapeKey, SearchHint{shape, QPoint(0, 0)}).resume;
    if (hint.x() == 0 && tryAt(0, 0)) {
        m_searchHint.insert(shapeKey, SearchHint{shape, QPoint(0, 0)});
        return;
    }
    // Spots stay far enough inside the cell's bounds for any footprint.
    const int lastRing = static_cast<int>((kMaxPosition - kMaxObjectSize) / kCell);
    for (int ring = std::max(1, hint.x()); ring <= lastRing; ++ring) {
        for (int k = ring == hint.x() ? hint.y() : 0; k < 8 * ring; ++k) {
            const QPoint s = spot(ring, k);
            if (tryAt(s.x(), s.y())) {
                m_searchHint.insert(shapeKey, SearchHint{shape, QPoint(ring, k)});
                return;
            }
        }
    }
    placeWhereverFull(object);
}

void Workspace::placeWhereverFull(WorkspaceObject* object) {
    // No free spot is left within the cell: the object goes to the origin, over what is there.
    const Eigen::Vector3d centre(0, 0, object->transform().position.z());
    object->m_transform.position = centre;
    object->_setFloorCells(footprintCells(object, centre));
    markFloor(object, true);
}

} // namespace kestrin
