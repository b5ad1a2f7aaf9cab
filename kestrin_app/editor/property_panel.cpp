#include "property_panel.h"

#include <kestrin_app/kind_names.h>

#include "property_panel_support.h"
#include "tree.h"

#include <kestrin/action.h>
#include <kestrin/behavior.h>
#include <kestrin/distribution.h>
#include <kestrin/effector.h>
#include <kestrin/error.h>
#include <kestrin/items.h>
#include <kestrin/project.h>
#include <kestrin/robot.h>
#include <kestrin/tool_frame.h>
#include <kestrin/undo_history.h>
#include <kestrin/urdf_robot.h>
#include <kestrin/variable.h>
#include <kestrin/workspace.h>
#include <kestrin_app/container.h>
#include <kestrin_app/exception.h>
#include <kestrin_viewer/workspace_viewer.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <array>
#include <cmath>
#include <optional>

using kestrin::Distribution;
using kestrin::Robot;
using kestrin::WorkspaceObject;

namespace {

using namespace ks_property_panel;

// Joint sliders move in hundredths of a degree.
constexpr double kSliderSteps = 100.0;

bool hasEditableSize(const WorkspaceObject& object) {
    switch (object.kind()) {
    case kestrin::ObjectKind::CustomItem:
    case kestrin::ObjectKind::Desk:
    case kestrin::ObjectKind::TaskRegion:
        return true;
    case kestrin::ObjectKind::Robot:
    case kestrin::ObjectKind::Effector:
    case kestrin::ObjectKind::ToolFrame:
    case kestrin::ObjectKind::Camera:
    case kestrin::ObjectKind::Marker:
        break; // sized by their model (a marker by its edge)
    }
    return false;
}

void setObjectSize(WorkspaceObject* object, const Eigen::Vector3d& size) {
    if (!hasEditableSize(*object))
        throw kestrin::ValueError(
            KSPropertyPanel::tr("The size of '%1' is fixed by its model.").arg(object->name()));
    switch (object->kind()) {
    case kestrin::ObjectKind::CustomItem:
        static_cast<kestrin::CustomItem*>(object)->setSize(size);
        break;
    case kestrin::ObjectKind::Desk:
        static_cast<kestrin::Desk*>(object)->setSize(size);
        break;
    case kestrin::ObjectKind::TaskRegion:
        static_cast<kestrin::TaskRegion*>(object)->setSize(size);
        break;
    case kestrin::ObjectKind::Robot:
    case kestrin::ObjectKind::Effector:
    case kestrin::ObjectKind::ToolFrame:
    case kestrin::ObjectKind::Camera:
    case kestrin::ObjectKind::Marker:
        break; // refused above
    }
}

} // namespace

QString KSPropertyPanel::Subject::name() const {
    if (object)
        return object->name();
    if (behavior)
        return behavior->name();
    if (variable)
        return variable->name();
    return QString();
}

KSPropertyPanel::KSPropertyPanel(KSProjectContainer* container, KSProjectTree* tree, QWidget* parent)
    : QWidget(parent), m_container(container), m_tree(tree) {
    setObjectName(QStringLiteral("propertyPanel"));
    auto* layout = new QVBoxLayout(this);
    m_title = new QLabel;
    m_title->setObjectName(QStringLiteral("propertyPanelTitle"));
    m_title->setTextFormat(Qt::PlainText);
    QFont bold = m_title->font();
    bold.setBold(true);
    m_title->setFont(bold);
    m_error = new QLabel;
    m_error->setObjectName(QStringLiteral("propertyPanelError"));
    m_error->setTextFormat(Qt::PlainText);
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #c0152f;"));
    m_error->hide();
    m_scroll = new QScrollArea;
    m_scroll->setObjectName(QStringLiteral("propertyPanelScroll"));
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    layout->addWidget(m_title);
    layout->addWidget(m_error);
    layout->addWidget(m_scroll, 1);

    // The tree takes items out and puts them back while it refills; the property panel looks once it
    // is done.
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &KSPropertyPanel::scheduleRefresh);
    connect(m_container, &KSProjectContainer::projectReplaced, this, [this] {
        watch(m_container->project());
        scheduleRefresh();
    });
    watch(m_container->project());
    refresh();
}

KSPropertyPanel::~KSPropertyPanel() {
    watch(nullptr);
}

void KSPropertyPanel::watch(kestrin::Project* project) {
    kestrin::Project::moveObserver(this, m_watched, project);
}

void KSPropertyPanel::projectChanged(const kestrin::ProjectChange& change) {
    // Edits made here catch up in afterEdit; what moves while a value is shown is looked at once.
    if (m_updating || (change.subject != m_shownSubject || change.id != m_shownId))
        return;
    scheduleRefresh();
}

QString KSPropertyPanel::errorText() const {
    return m_error->isHidden() ? QString() : m_error->text();
}

KSPropertyPanel::Subject KSPropertyPanel::current() const {
    Subject s;
    const QList<QTreeWidgetItem*> items = m_tree->selectedItems();
    s.selectedCount = items.size();
    if (items.size() != 1)
        return s;
    s.object = m_tree->objectAt(items.first());
    s.behavior = m_tree->behaviorAt(items.first());
    s.variable = m_tree->variableAt(items.first());
    return s;
}

// Two subjects of the same shape get the same editors; only their values differ.
QString KSPropertyPanel::shapeOf(const Subject& s) const {
    auto address = [](const void* p) { return QString::number(quintptr(p), 16); };
    if (s.object)
        return QStringLiteral("object:%1:%2:%3")
            .arg(s.object->id())
            .arg(address(s.object), s.object->type().name());
    if (s.behavior)
        return QStringLiteral("behavior:%1:%2").arg(address(s.behavior), s.behavior->type().name());
    if (s.variable) {
        QString shape = QStringLiteral("variable:%1:%2").arg(address(s.variable), s.variable->type().name());
        auto describe = [](const Distribution* d) {
            return d ? QStringLiteral(":%1/%2").arg(d->typeName()).arg(d->dim()) : QStringLiteral(":none");
        };
        if (auto* target = dynamic_cast<const kestrin::JointPositionTarget*>(s.variable))
            shape += describe(&target->jointPositions());
        else if (auto* region = dynamic_cast<const kestrin::TaskRegionTarget*>(s.variable))
            shape += describe(region->seedJointPositions());
        else if (auto* limits = dynamic_cast<const kestrin::MotionLimits*>(s.variable))
            shape += QStringLiteral(":%1").arg(limits->jointVelocity().size());
        else if (auto* mixture = dynamic_cast<const kestrin::MixtureTarget*>(s.variable))
            shape += QStringLiteral(":%1").arg(mixture->targetGenerators().size());
        return shape;
    }
    return QStringLiteral("none:%1").arg(s.selectedCount);
}

void KSPropertyPanel::scheduleRefresh() {
    if (m_editing || m_refreshQueued)
        return;
    m_refreshQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_refreshQueued)
                refresh();
        },
        Qt::QueuedConnection);
}

void KSPropertyPanel::refresh() {
    m_refreshQueued = false;
    const Subject s = current();
    using S = kestrin::ProjectChange::Subject;
    m_shownSubject = s.object ? S::Object : s.behavior ? S::Behavior : s.variable ? S::Variable : S::Project;
    m_shownId = s.object ? s.object->id() : s.behavior ? s.behavior->id() : s.variable ? s.variable->id() : 0;
    if (shapeOf(s) != m_shape)
        buildPage(s);
    updateWidgetFromModel();
}

void KSPropertyPanel::updateWidgetFromModel() {
    const Subject s = current();
    if (!s.isSet()) {
        // The cell's own settings, shown when nothing is selected.
        if (auto* clearance =
                m_scroll->findChild<QDoubleSpinBox*>(QStringLiteral("propertyPanelClearance"))) {
            const bool wasUpdating = m_updating;
            m_updating = true;
            setSpin(clearance, m_container->project()->workspace()->clearance() * 1000.0);
            m_updating = wasUpdating;
        }
        return;
    }
    const bool wasUpdating = m_updating;
    m_updating = true;
    for (const Sync& sync : m_sync)
        sync(s);
    m_updating = wasUpdating;
}

void KSPropertyPanel::showError(const QString& message) {
    m_error->setText(message);
    m_error->show();
}

void KSPropertyPanel::apply(int page, const QString& field, const Change& change, bool live) {
    if (m_updating || page != m_pageNumber)
        return;
    const Subject s = current();
    if (!s.isSet())
        return;
    const QString step = tr("Edit %1 of '%2'").arg(field, s.name());
    try {
        change(s);
    } catch (const std::exception& e) {
        // The core library changed nothing; the editors show the model again.
        showError(QString::fromUtf8(e.what()));
        updateWidgetFromModel();
        return;
    }
    m_error->clear();
    m_error->hide();
    if (live) {
        m_liveStep = step;
        kestrin_app::logerror("propertyPanelEdit", [this] {
            m_container->rebuildViewer();
            m_container->viewer()->render();
        });
        updateWidgetFromModel();
        return;
    }
    m_liveStep.clear();
    afterEdit(step);
}

void KSPropertyPanel::finishLiveEdit() {
    if (m_liveStep.isEmpty())
        return;
    const QString step = m_liveStep;
    m_liveStep.clear();
    afterEdit(step);
}

void KSPropertyPanel::afterEdit(const QString& step) {
    bool recorded = false;
    m_editing = true;
    kestrin_app::logerror("propertyPanelEdit", [&] {
        recorded = m_container->project()->history().record(step);
        if (!recorded)
            return;
        m_container->rebuildViewer();
        m_tree->updateProjectTreeContent();
        m_container->viewer()->render();
    });
    m_editing = false;
    refresh();
    if (recorded)
        emit projectEdited();
}

QDoubleSpinBox* KSPropertyPanel::makeSpin(const QString& objectName, double min, double max, int decimals,
                                          const QString& suffix) {
    auto* spin = new QDoubleSpinBox;
    spin->setObjectName(objectName);
    spin->setRange(min, max);
    spin->setDecimals(decimals);
    spin->setSuffix(suffix);
    // One edit per value typed (on Enter or leaving the field), not one per keystroke.
    spin->setKeyboardTracking(false);
    spin->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return spin;
}

// --- Pages ---------------------------------------------------------------------------------------

void KSPropertyPanel::buildPage(const Subject& s) {
    ++m_pageNumber;
    m_sync.clear();
    if (!m_liveStep.isEmpty()) {
        // A drag cut short by another selection still counts as a step of its own.
        m_container->project()->history().record(m_liveStep);
        m_liveStep.clear();
    }
    m_shape = shapeOf(s);
    m_error->clear();
    m_error->hide();

    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("propertyPanelPage"));
    auto* form = new QFormLayout(page);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    const bool wasUpdating = m_updating;
    m_updating = true; // filling the editors is not editing
    if (!s.isSet()) {
        m_title->setText(s.selectedCount > 1 ? tr("%1 items selected").arg(s.selectedCount) : QString());
        auto* hint = new QLabel(s.selectedCount > 1
                                    ? tr("Select a single object, behavior or variable to edit it.")
                                    : tr("Select an object, behavior or variable in the project tree to see "
                                         "and edit its properties."));
        hint->setObjectName(QStringLiteral("propertyPanelHint"));
        hint->setWordWrap(true);
        form->addRow(hint);
        if (s.selectedCount == 0)
            addCellRows(form);
    } else {
        const kestrin::Type& type = s.object     ? s.object->type()
                                    : s.behavior ? s.behavior->type()
                                                 : s.variable->type();
        m_title->setText(s.object ? kestrin_app::readableKindName(*s.object)
                                  : kestrin_app::readableKindName(type));
        addNameRow(form);
        if (s.object)
            addObjectRows(form, *s.object);
        else if (s.behavior)
            addActionRows(form, *s.behavior);
        else
            addVariableRows(form, *s.variable);
    }
    m_updating = wasUpdating;

    // An editor of the old page may still report (losing focus as it goes); its page number
    // tells apply to ignore it.
    if (QWidget* old = m_scroll->takeWidget())
        old->deleteLater();
    m_scroll->setWidget(page);
}

void KSPropertyPanel::addCellRows(QFormLayout* form) {
    auto* heading = new QLabel(tr("Cell"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    form->addRow(heading);
    auto* clearance = makeSpin(QStringLiteral("propertyPanelClearance"), 0.0,
                               kestrin::Workspace::kMaxClearance * 1000.0, 1, tr(" mm"));
    clearance->setToolTip(
        tr("Anything that comes closer than this to a robot (or what it carries) counts as a "
           "collision in runs and in Cell > Check Collisions"));
    setSpin(clearance, m_container->project()->workspace()->clearance() * 1000.0);
    const int page = m_pageNumber;
    connect(clearance, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, [this, page](double mm) {
        if (m_updating || page != m_pageNumber)
            return;
        try {
            m_container->project()->workspace()->setClearance(mm / 1000.0);
        } catch (const std::exception& e) {
            showError(QString::fromUtf8(e.what()));
            return;
        }
        afterEdit(tr("Edit Clearance of the Cell"));
    });
    form->addRow(tr("Clearance"), clearance);
}

void KSPropertyPanel::addNameRow(QFormLayout* form) {
    auto* edit = new QLineEdit;
    edit->setObjectName(QStringLiteral("propertyPanelName"));
    const int page = m_pageNumber;
    connect(edit, &QLineEdit::editingFinished, this, [this, edit, page] {
        apply(page, tr("Name"), [edit](const Subject& s) {
            const QString name = edit->text();
            if (name == s.name())
                return;
            if (s.object) {
                s.object->setName(name);
                kestrin_app::logNameMadeUnique(kestrin::categoryLabel(s.object->category()), name,
                                               s.object->name());
            } else if (s.behavior) {
                s.behavior->setName(name);
                kestrin_app::logNameMadeUnique(QStringLiteral("behavior"), name, s.behavior->name());
            } else {
                s.variable->setName(name);
                kestrin_app::logNameMadeUnique(QStringLiteral("variable"), name, s.variable->name());
            }
        });
    });
    m_sync.push_back([edit](const Subject& s) {
        if (edit->text() != s.name())
            edit->setText(s.name());
    });
    form->addRow(tr("Name"), edit);
}

void KSPropertyPanel::addObjectRows(QFormLayout* form, const WorkspaceObject& object) {
    addPoseRows(form, object);
    if (hasEditableSize(object))
        addSizeRows(form);
    const int page = m_pageNumber;
    switch (object.kind()) {
    case kestrin::ObjectKind::Robot:
        if (const auto* imported = dynamic_cast<const kestrin::UrdfRobot*>(&object)) {
            // Where it came from, for the user's own records; the project keeps the description.
            auto* file = new QLabel(QFileInfo(imported->source().fileName).fileName());
            file->setObjectName(QStringLiteral("propertyPanelUrdfFile"));
            file->setToolTip(tr("Imported from %1, links '%2' to '%3'")
                                 .arg(imported->source().fileName, imported->source().baseLink,
                                      imported->source().tipLink));
            file->setTextInteractionFlags(Qt::TextSelectableByMouse);
            form->addRow(tr("Description"), file);
        }
        addJointRows(form, static_cast<const Robot&>(object).getNumDofs());
        break;
    case kestrin::ObjectKind::Effector: {
        // Mounted on a robot's flange, it follows the robot; "(none)" stands it in the cell where
        // the flange held it.
        auto* mount = new QComboBox;
        mount->setObjectName(QStringLiteral("propertyPanelMountedOn"));
        mount->setToolTip(tr("The robot whose flange carries this gripper"));
        connect(mount, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                [this, page, mount](int index) {
                    if (index < 0)
                        return;
                    const QString robot = mount->itemData(index).toString();
                    apply(page, tr("Mount"), [robot](const Subject& s) {
                        auto* effector = as<kestrin::Effector>(s.object);
                        effector->mountOn(robot.isEmpty() ? nullptr : s.object->workspace()->getRobot(robot));
                    });
                });
        m_sync.push_back([mount](const Subject& s) {
            const auto* effector = dynamic_cast<const kestrin::Effector*>(s.object);
            if (!effector)
                return;
            fillChoices(mount, effector->workspace()->getRobots(),
                        effector->robot() ? effector->robot()->name() : QString());
        });
        form->addRow(tr("Mounted on"), mount);
        break;
    }
    case kestrin::ObjectKind::Marker: {
        auto* id = new QSpinBox;
        id->setObjectName(QStringLiteral("propertyPanelMarkerId"));
        id->setRange(-99999, 99999);
        id->setKeyboardTracking(false);
        auto* edge = makeSpin(QStringLiteral("propertyPanelEdge"), 0.0, kestrin::kMaxObjectSize, 3, tr(" m"));
        connect(id, QOverload<int>::of(&QSpinBox::valueChanged), this, [this, page](int value) {
            apply(page, tr("Marker Id"),
                  [value](const Subject& s) { as<kestrin::VisualMarker>(s.object)->setMarkerId(value); });
        });
        connect(edge, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, [this, page](double value) {
            apply(page, tr("Edge"),
                  [value](const Subject& s) { as<kestrin::VisualMarker>(s.object)->setEdge(value); });
        });
        m_sync.push_back([id, edge](const Subject& s) {
            const auto* marker = dynamic_cast<const kestrin::VisualMarker*>(s.object);
            if (!marker)
                return;
            id->setValue(marker->markerId());
            setSpin(edge, marker->size().x());
        });
        form->addRow(tr("Marker id"), id);
        form->addRow(tr("Edge"), edge);
        break;
    }
    case kestrin::ObjectKind::Camera: {
        const auto& camera = static_cast<const kestrin::Camera&>(object);
        form->addRow(
            tr("Field of view"),
            new QLabel(
                tr("%1° × %2°").arg(camera.horizontalFov(), 0, 'f', 1).arg(camera.verticalFov(), 0, 'f', 1)));
        form->addRow(
            tr("Depth range"),
            new QLabel(
                tr("%1 m to %2 m").arg(camera.minRange(), 0, 'f', 2).arg(camera.maxRange(), 0, 'f', 2)));
        break;
    }
    case kestrin::ObjectKind::CustomItem:
        if (const kestrin::MeshRef& mesh = static_cast<const kestrin::CustomItem&>(object).mesh()) {
            const auto count = static_cast<qulonglong>(mesh->triangleCount());
            auto* label = new QLabel(count == 1 ? tr("1 triangle") : tr("%L1 triangles").arg(count));
            label->setObjectName(QStringLiteral("propertyPanelMesh"));
            label->setToolTip(tr("The item is this mesh stretched to its size"));
            form->addRow(tr("Mesh"), label);
        }
        break;
    case kestrin::ObjectKind::ToolFrame:
    case kestrin::ObjectKind::Desk:
    case kestrin::ObjectKind::TaskRegion:
        break; // their pose (or offset) and size are all there is
    }
}

void KSPropertyPanel::addPoseRows(QFormLayout* form, const WorkspaceObject& object) {
    const bool isFrame = object.kind() == kestrin::ObjectKind::ToolFrame;
    const QString field = isFrame ? tr("Offset") : tr("Pose");
    auto* heading = new QLabel(isFrame ? tr("Offset from the flange") : tr("Pose"));
    heading->setObjectName(QStringLiteral("propertyPanelPoseHeading"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    form->addRow(heading);
    auto* note = new QLabel;
    note->setObjectName(QStringLiteral("propertyPanelPoseNote"));
    note->setWordWrap(true);
    form->addRow(note);

    const QStringList names = {QStringLiteral("X"),    QStringLiteral("Y"),     QStringLiteral("Z"),
                               QStringLiteral("Roll"), QStringLiteral("Pitch"), QStringLiteral("Yaw")};
    std::array<QDoubleSpinBox*, 6> spins{};
    const int page = m_pageNumber;
    for (int c = 0; c < 6; ++c) {
        QDoubleSpinBox* spin =
            c < 3 ? makeSpin(QStringLiteral("propertyPanel") + names[c], -kMaxMetres, kMaxMetres, 4, tr(" m"))
                  : makeSpin(QStringLiteral("propertyPanel") + names[c], -180.0, 180.0, 2, tr("°"));
        if (c >= 3)
            spin->setWrapping(true);
        spins[size_t(c)] = spin;
        form->addRow(names[c], spin);
        connect(spin, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                [this, page, field, c](double value) {
                    apply(page, field, [c, value](const Subject& s) {
                        auto* toolFrame = dynamic_cast<kestrin::ToolFrame*>(s.object);
                        if (auto* effector = dynamic_cast<const kestrin::Effector*>(s.object);
                            effector && effector->robot())
                            throw kestrin::ValueError(
                                tr("'%1' is mounted on robot '%2' and follows its flange; move the "
                                   "robot or edit a tool frame's offset instead.")
                                    .arg(s.object->name(), effector->robot()->name()));
                        const kestrin::Pose pose =
                            toolFrame ? toolFrame->offset().toPose() : s.object->transform().toPose();
                        Eigen::Vector3d position = pose.translation();
                        Eigen::Vector3d rpy = kestrin::rollPitchYaw(pose.rotation());
                        if (c < 3)
                            position[c] = value;
                        else
                            rpy[c - 3] = value * kDeg;
                        const kestrin::Pose changed = kestrin::makePose(position, rpy[0], rpy[1], rpy[2]);
                        if (toolFrame)
                            toolFrame->setOffset(changed);
                        else
                            s.object->setPose(changed);
                    });
                });
    }
    m_sync.push_back([spins, note](const Subject& s) {
        const auto* toolFrame = dynamic_cast<const kestrin::ToolFrame*>(s.object);
        const auto* effector = dynamic_cast<const kestrin::Effector*>(s.object);
        const bool mounted = effector && effector->robot();
        kestrin::Pose pose = s.object->pose();
        if (toolFrame && toolFrame->robot()) {
            pose = toolFrame->offset().toPose();
            note->setText(
                tr("On robot '%1'; the pose is relative to its flange.").arg(toolFrame->robot()->name()));
        } else if (mounted) {
            note->setText(tr("Mounted on robot '%1': it follows the flange. Move the robot, or edit a tool "
                             "frame's offset.")
                              .arg(effector->robot()->name()));
        } else {
            note->setText(
                tr("Position in metres, roll, pitch and yaw in degrees about the world's x, y and z."));
        }
        const Eigen::Vector3d position = pose.translation();
        const Eigen::Vector3d rpy = kestrin::rollPitchYaw(pose.rotation()) / kDeg;
        for (int c = 0; c < 6; ++c) {
            setSpin(spins[size_t(c)], c < 3 ? position[c] : rpy[c - 3]);
            spins[size_t(c)]->setEnabled(!mounted);
        }
    });
}

void KSPropertyPanel::addSizeRows(QFormLayout* form) {
    std::array<QDoubleSpinBox*, 3> spins{};
    const int page = m_pageNumber;
    const QStringList axes = {QStringLiteral("X"), QStringLiteral("Y"), QStringLiteral("Z")};
    for (int c = 0; c < 3; ++c) {
        QDoubleSpinBox* spin = makeSpin(QStringLiteral("propertyPanelSize") + axes[c], 0.0,
                                        kestrin::kMaxObjectSize, 3, tr(" m"));
        spins[size_t(c)] = spin;
        form->addRow(tr("Size %1").arg(axes[c]), spin);
        connect(spin, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                [this, page, c](double value) {
                    apply(page, tr("Size"), [c, value](const Subject& s) {
                        Eigen::Vector3d size = s.object->size();
                        size[c] = value;
                        setObjectSize(s.object, size);
                    });
                });
    }
    m_sync.push_back([spins](const Subject& s) {
        for (int c = 0; c < 3; ++c)
            setSpin(spins[size_t(c)], s.object->size()[c]);
    });
}

void KSPropertyPanel::addJointRows(QFormLayout* form, int joints) {
    auto* heading = new QLabel(tr("Joint positions"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);
    form->addRow(heading);
    const int page = m_pageNumber;
    const QString field = tr("Joint Positions");
    for (int i = 0; i < joints; ++i) {
        auto* slider = new QSlider(Qt::Horizontal);
        slider->setObjectName(QStringLiteral("propertyPanelJointSlider%1").arg(i + 1));
        QDoubleSpinBox* spin = makeSpin(QStringLiteral("propertyPanelJoint%1").arg(i + 1), -kMaxDegrees,
                                        kMaxDegrees, 2, tr("°"));
        spin->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        form->addRow(tr("Joint %1").arg(i + 1), row({slider, spin}, 1));

        auto setJoint = [i](double degrees) {
            return [i, degrees](const Subject& s) {
                Robot* robot = as<Robot>(s.object);
                Eigen::VectorXd q = robot->jointPositions();
                q[i] = degrees * kDeg;
                robot->setJointPositions(q);
            };
        };
        connect(spin, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                [this, page, field, setJoint](double degrees) { apply(page, field, setJoint(degrees)); });
        // A drag moves the robot as it goes and is one step when the slider is let go.
        connect(slider, &QSlider::valueChanged, this, [this, page, field, setJoint, slider](int steps) {
            apply(page, field, setJoint(steps / kSliderSteps), slider->isSliderDown());
        });
        connect(slider, &QSlider::sliderReleased, this, [this] { finishLiveEdit(); });

        m_sync.push_back([i, slider, spin](const Subject& s) {
            const auto* robot = dynamic_cast<const Robot*>(s.object);
            if (!robot || i >= robot->getNumDofs())
                return;
            const double lower = robot->lowerLimits()[i] / kDeg, upper = robot->upperLimits()[i] / kDeg;
            slider->setRange(int(std::ceil(lower * kSliderSteps)), int(std::floor(upper * kSliderSteps)));
            const QString limits = tr("Between %1° and %2°").arg(lower, 0, 'f', 1).arg(upper, 0, 'f', 1);
            slider->setToolTip(limits);
            spin->setToolTip(limits);
            const double degrees = robot->jointPositions()[i] / kDeg;
            setSpin(spin, degrees);
            if (!slider->isSliderDown())
                slider->setValue(int(std::lround(degrees * kSliderSteps)));
        });
    }
}

void KSPropertyPanel::addActionRows(QFormLayout* form, const kestrin::Behavior& behavior) {
    const auto* action = dynamic_cast<const kestrin::Action*>(&behavior);
    if (!action) {
        auto* children = new QLabel;
        children->setObjectName(QStringLiteral("propertyPanelChildren"));
        m_sync.push_back([children](const Subject& s) {
            if (s.behavior)
                children->setText(tr("%n behavior(s)", nullptr, int(s.behavior->children().size())));
        });
        form->addRow(tr("Children"), children);
        return;
    }
    const int page = m_pageNumber;
    for (const kestrin::ActionProperty& property : action->properties()) {
        const QString key = property.key;
        const QString label = property.required ? property.label : tr("%1 (optional)").arg(property.label);
        const QString objectName = QStringLiteral("propertyPanelProperty_") + key;
        if (property.kind == kestrin::ActionProperty::Kind::Seconds ||
            property.kind == kestrin::ActionProperty::Kind::Metres) {
            const bool metres = property.kind == kestrin::ActionProperty::Kind::Metres;
            QDoubleSpinBox* spin = metres ? makeSpin(objectName, -kestrin::MoveLinear::kMaxOffset,
                                                     kestrin::MoveLinear::kMaxOffset, 4, tr(" m"))
                                          : makeSpin(objectName, 0.0, 1e6, 2, tr(" s"));
            connect(spin, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                    [this, page, key, field = property.label](double seconds) {
                        apply(page, field, [key, seconds](const Subject& s) {
                            as<kestrin::Action>(s.behavior)->setProperty(key, seconds);
                        });
                    });
            m_sync.push_back([spin, key](const Subject& s) {
                if (auto* a = dynamic_cast<const kestrin::Action*>(s.behavior))
                    setSpin(spin, a->seconds(key));
            });
            form->addRow(label, spin);
            continue;
        }
        auto* combo = new QComboBox;
        combo->setObjectName(objectName);
        combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                [this, page, key, combo, field = property.label](int index) {
                    if (index < 0)
                        return;
                    const QString name = combo->itemData(index).toString();
                    apply(page, field, [key, name](const Subject& s) {
                        as<kestrin::Action>(s.behavior)->setProperty(key, name);
                    });
                });
        // Only names that the property can hold are offered, so no dangling reference can be
        // chosen: robots, the tool frames of the action's robot, variables of the right type.
        m_sync.push_back([this, combo, key](const Subject& s) {
            const auto* a = dynamic_cast<const kestrin::Action*>(s.behavior);
            const kestrin::ActionProperty* p = a ? a->property(key) : nullptr;
            if (!p)
                return;
            const kestrin::Project* project = m_container->project();
            const kestrin::Workspace* workspace = project->workspace();
            QStringList names;
            switch (p->kind) {
            case kestrin::ActionProperty::Kind::Robot:
                names = workspace->getRobots();
                break;
            case kestrin::ActionProperty::Kind::ToolFrame: {
                const Robot* robot = nullptr;
                for (const kestrin::ActionProperty& other : a->properties())
                    if (other.kind == kestrin::ActionProperty::Kind::Robot)
                        robot = workspace->findRobot(other.value.toString());
                names = robot ? robot->getToolFrames() : workspace->getToolFrames();
                break;
            }
            case kestrin::ActionProperty::Kind::Variable:
                for (const kestrin::Variable* v : project->variableList())
                    if (!p->variableType || v->type().inherits(*p->variableType))
                        names << v->name();
                break;
            case kestrin::ActionProperty::Kind::Seconds:
            case kestrin::ActionProperty::Kind::Metres:
                break;
            }
            fillChoices(combo, names, p->value.toString());
        });
        form->addRow(label, combo);
    }
}
