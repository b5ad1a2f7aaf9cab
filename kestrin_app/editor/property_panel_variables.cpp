// The property panel's editors of program variables: motion limits, targets and their distributions.

#include "property_panel.h"
#include "property_panel_support.h"

#include <algorithm>
#include <kestrin/distribution.h>
#include <kestrin/project.h>
#include <kestrin/robot.h>
#include <kestrin/variable.h>
#include <kestrin/workspace.h>
#include <kestrin_app/container.h>

#include <QFormLayout>
#include <QLabel>
#include <QPushButton>

#include <optional>

using kestrin::Distribution;
using namespace ks_property_panel;

namespace {

QStringList taskRegionNames(const kestrin::Workspace* workspace) {
    QStringList names;
    for (const kestrin::WorkspaceObject* object : workspace->objects())
        if (object->category() == kestrin::Category::TaskRegion)
            names << object->name();
    return names;
}

} // namespace

void KSPropertyPanel::addVariableRows(QFormLayout* form, const kestrin::Variable& variable) {
    const int page = m_pageNumber;
    if (auto* limits = dynamic_cast<const kestrin::MotionLimits*>(&variable)) {
        const int joints = std::min(int(limits->jointVelocity().size()), kMaxVectorRows);
        for (int i = 0; i < joints; ++i) {
            QDoubleSpinBox* speed =
                makeSpin(QStringLiteral("propertyPanelVelocity%1").arg(i + 1), -1e5, 1e5, 1, tr(" °/s"));
            QDoubleSpinBox* acceleration =
                makeSpin(QStringLiteral("propertyPanelAcceleration%1").arg(i + 1), -1e5, 1e5, 1, tr(" °/s²"));
            form->addRow(tr("Joint %1").arg(i + 1), row({speed, acceleration}));
            auto edit = [i](bool isSpeed, double degrees) {
                return [i, isSpeed, degrees](const Subject& s) {
                    auto* l = as<kestrin::MotionLimits>(s.variable);
                    Eigen::VectorXd v = l->jointVelocity(), a = l->jointAcceleration();
                    (isSpeed ? v : a)[i] = degrees * kDeg;
                    l->setLimits(v, a);
                };
            };
            connect(speed, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                    [this, page, edit](double value) { apply(page, tr("Joint Speeds"), edit(true, value)); });
            connect(acceleration, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                    [this, page, edit](double value) {
                        apply(page, tr("Joint Accelerations"), edit(false, value));
                    });
            m_sync.push_back([i, speed, acceleration](const Subject& s) {
                const auto* l = dynamic_cast<const kestrin::MotionLimits*>(s.variable);
                if (!l || i >= l->jointVelocity().size())
                    return;
                setSpin(speed, l->jointVelocity()[i] / kDeg);
                setSpin(acceleration, l->jointAcceleration()[i] / kDeg);
            });
        }
    } else if (auto* target = dynamic_cast<const kestrin::JointPositionTarget*>(&variable)) {
        addDistributionRows(
            form, tr("Joint Positions"), QStringLiteral("propertyPanel"), target->jointPositions(),
            [](const Subject& s) -> const Distribution* {
                auto* t = dynamic_cast<const kestrin::JointPositionTarget*>(s.variable);
                return t ? &t->jointPositions() : nullptr;
            },
            [](const Subject& s, std::unique_ptr<Distribution> d) {
                as<kestrin::JointPositionTarget>(s.variable)->setJointPositions(std::move(d));
            });
        if (target->jointPositions().typeName() == QLatin1String("Deterministic"))
            addSetFromRobotRows(form, target->jointPositions().dim());
    } else if (auto* regionTarget = dynamic_cast<const kestrin::TaskRegionTarget*>(&variable)) {
        auto* region = new QComboBox;
        region->setObjectName(QStringLiteral("propertyPanelTaskRegion"));
        connect(region, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                [this, page, region](int index) {
                    if (index < 0)
                        return;
                    const QString name = region->itemData(index).toString();
                    apply(page, tr("Task Region"), [name](const Subject& s) {
                        as<kestrin::TaskRegionTarget>(s.variable)->poseGenerator().setTaskRegion(name);
                    });
                });
        QDoubleSpinBox* yaw =
            makeSpin(QStringLiteral("propertyPanelYawRange"), -kMaxDegrees, kMaxDegrees, 1, tr("°"));
        yaw->setToolTip(tr("Target poses turn at most this far either way about the region's own yaw."));
        connect(
            yaw, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this, [this, page](double degrees) {
                apply(page, tr("Yaw Range"), [degrees](const Subject& s) {
                    as<kestrin::TaskRegionTarget>(s.variable)->poseGenerator().setYawRange(degrees * kDeg);
                });
            });
        m_sync.push_back([this, region, yaw](const Subject& s) {
            const auto* t = dynamic_cast<const kestrin::TaskRegionTarget*>(s.variable);
            if (!t)
                return;
            fillChoices(region, taskRegionNames(m_container->project()->workspace()),
                        t->poseGenerator().taskRegion());
            setSpin(yaw, t->poseGenerator().yawRange() / kDeg);
        });
        form->addRow(tr("Task region"), region);
        form->addRow(tr("Yaw range"), yaw);
        if (const Distribution* seed = regionTarget->seedJointPositions()) {
            auto* heading = new QLabel(tr("Seed joint positions"));
            heading->setToolTip(tr("Where the search for joint positions that reach a target pose starts."));
            form->addRow(heading);
            addDistributionRows(
                form, tr("Seed Joint Positions"), QStringLiteral("propertyPanelSeed"), *seed,
                [](const Subject& s) -> const Distribution* {
                    auto* t = dynamic_cast<const kestrin::TaskRegionTarget*>(s.variable);
                    return t ? t->seedJointPositions() : nullptr;
                },
                [](const Subject& s, std::unique_ptr<Distribution> d) {
                    as<kestrin::TaskRegionTarget>(s.variable)->setSeedJointPositions(std::move(d));
                });
        }
    } else if (auto* mixture = dynamic_cast<const kestrin::MixtureTarget*>(&variable)) {
        const int components = std::min(int(mixture->targetGenerators().size()), kMaxVectorRows);
        for (int i = 0; i < components; ++i) {
            auto* choice = new QComboBox;
            choice->setObjectName(QStringLiteral("propertyPanelComponent%1").arg(i + 1));
            QDoubleSpinBox* weight =
                makeSpin(QStringLiteral("propertyPanelWeight%1").arg(i + 1), -1e6, 1e6, 3, QString());
            weight->setToolTip(tr("Weights need not add up to one."));
            form->addRow(tr("Component %1").arg(i + 1), row({choice, weight}, 1));
            auto edit = [i](std::optional<QString> name, std::optional<double> w) {
                return [i, name, w](const Subject& s) {
                    auto* m = as<kestrin::MixtureTarget>(s.variable);
                    QStringList targets = m->targetGenerators();
                    std::vector<double> weights = m->weights();
                    if (name)
                        targets[i] = *name;
                    if (w)
                        weights[size_t(i)] = *w;
                    m->setComponents(targets, weights);
                };
            };
            connect(choice, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                    [this, page, choice, edit](int index) {
                        if (index < 0)
                            return;
                        const QString name = choice->itemData(index).toString();
                        apply(page, tr("Components"), edit(name, std::nullopt));
                    });
            connect(
                weight, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                [this, page, edit](double value) { apply(page, tr("Weights"), edit(std::nullopt, value)); });
            m_sync.push_back([this, i, choice, weight](const Subject& s) {
                const auto* m = dynamic_cast<const kestrin::MixtureTarget*>(s.variable);
                if (!m || i >= m->targetGenerators().size())
                    return;
                QStringList names;
                for (const kestrin::Variable* v : m_container->project()->variableList())
                    if (dynamic_cast<const kestrin::JointPositionTarget*>(v) ||
                        dynamic_cast<const kestrin::TaskRegionTarget*>(v))
                        names << v->name();
                fillChoices(choice, names, m->targetGenerators()[i]);
                setSpin(weight, m->weights()[size_t(i)]);
            });
        }
    }
}

void KSPropertyPanel::addDistributionRows(
    QFormLayout* form, const QString& field, const QString& prefix, const Distribution& shape,
    const std::function<const Distribution*(const Subject&)>& get,
    const std::function<void(const Subject&, std::unique_ptr<Distribution>)>& commit) {
    const QString kind = shape.typeName();
    auto* kindLabel = new QLabel(kind);
    kindLabel->setObjectName(prefix + QStringLiteral("DistributionKind"));
    form->addRow(tr("Distribution"), kindLabel);

    // The parameters each kind needs; their names also name the editors ("propertyPanelLower3").
    QStringList parts;
    if (kind == QLatin1String("Deterministic"))
        parts = QStringList{QStringLiteral("Value")};
    else if (kind == QLatin1String("Uniform"))
        parts = QStringList{QStringLiteral("Lower"), QStringLiteral("Upper")};
    else if (kind == QLatin1String("Gaussian"))
        parts = QStringList{QStringLiteral("Mean"), QStringLiteral("Stddev")};
    if (parts.size() == 2)
        form->addRow(QString(),
                     new QLabel(kind == QLatin1String("Uniform") ? tr("Lower and upper bound")
                                                                 : tr("Mean and standard deviation")));

    // Reads parameter `part` of a distribution, and writes it into a copy.
    auto read = [](const Distribution& d, int part) -> Eigen::VectorXd {
        if (auto* det = dynamic_cast<const kestrin::DeterministicDistribution*>(&d))
            return det->value();
        if (auto* uni = dynamic_cast<const kestrin::UniformDistribution*>(&d))
            return part == 0 ? uni->lower() : uni->upper();
        if (auto* gauss = dynamic_cast<const kestrin::GaussianDistribution*>(&d))
            return part == 0 ? gauss->mean() : gauss->stddev();
        return {};
    };
    auto write = [](Distribution& d, int part, const Eigen::VectorXd& v) {
        if (auto* det = dynamic_cast<kestrin::DeterministicDistribution*>(&d)) {
            det->setValue(v);
        } else if (auto* uni = dynamic_cast<kestrin::UniformDistribution*>(&d)) {
            const Eigen::VectorXd lower = part == 0 ? v : uni->lower(), upper = part == 0 ? uni->upper() : v;
            // Said here in the degrees the user typed; the core library would say it in radians.
            for (int i = 0; i < lower.size() && i < upper.size(); ++i)
                if (lower[i] > upper[i])
                    throw kestrin::ValueError(
                        KSPropertyPanel::tr("The lower bound of joint %1 (%2°) cannot be above its "
                                            "upper bound (%3°).")
                            .arg(i + 1)
                            .arg(lower[i] / kDeg, 0, 'f', 2)
                            .arg(upper[i] / kDeg, 0, 'f', 2));
            uni->setBounds(lower, upper);
        } else if (auto* gauss = dynamic_cast<kestrin::GaussianDistribution*>(&d)) {
            part == 0 ? gauss->setParameters(v, gauss->stddev()) : gauss->setParameters(gauss->mean(), v);
        }
    };

    const int page = m_pageNumber;
    std::vector<QDoubleSpinBox*> spins;
    for (int i = 0; i < std::min(shape.dim(), kMaxVectorRows); ++i) {
        auto* row = new QWidget;
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(0, 0, 0, 0);
        for (int part = 0; part < parts.size(); ++part) {
            QDoubleSpinBox* spin = makeSpin(prefix + parts[part] + QString::number(i + 1), -kMaxDegrees,
                                            kMaxDegrees, 2, tr("°"));
            layout->addWidget(spin);
            spins.push_back(spin);
            connect(spin, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
                    [this, page, field, i, part, get, commit, read, write](double degrees) {
                        apply(page, field, [=](const Subject& s) {
                            const Distribution* d = get(s);
                            if (!d || i >= d->dim())
                                throw kestrin::ValueError(
                                    tr("'%1' changed meanwhile; choose it again.").arg(s.name()));
                            std::unique_ptr<Distribution> copy = d->clone();
                            Eigen::VectorXd v = read(*copy, part);
                            v[i] = degrees * kDeg;
                            write(*copy, part, v); // throws when refused; the original is untouched
                            commit(s, std::move(copy));
                        });
                    });
        }
        form->addRow(tr("Joint %1").arg(i + 1), row);
    }
    const int partCount = int(parts.size());
    m_sync.push_back([spins, partCount, get, read](const Subject& s) {
        const Distribution* d = get(s);
        if (!d || partCount == 0)
            return;
        for (int part = 0; part < partCount; ++part) {
            const Eigen::VectorXd v = read(*d, part);
            for (int i = 0; i < v.size() && size_t(i * partCount + part) < spins.size(); ++i)
                setSpin(spins[size_t(i * partCount + part)], v[i] / kDeg);
        }
    });
}

void KSPropertyPanel::addSetFromRobotRows(QFormLayout* form, int joints) {
    auto* robots = new QComboBox;
    robots->setObjectName(QStringLiteral("propertyPanelSetFromRobotChoice"));
    auto* button = new QPushButton(tr("Set from Robot"));
    button->setObjectName(QStringLiteral("propertyPanelSetFromRobot"));
    form->addRow(tr("Copy from"), row({robots, button}, 1));

    const int page = m_pageNumber;
    connect(button, &QPushButton::clicked, this, [this, page, robots] {
        const QString robotName = robots->currentText();
        apply(page, tr("Joint Positions"), [this, robotName](const Subject& s) {
            const kestrin::Robot* robot = m_container->project()->workspace()->findRobot(robotName);
            if (!robot)
                throw kestrin::NotFoundError(
                    tr("Choose a robot to copy the joint positions of '%1' from.").arg(s.name()));
            auto* target = as<kestrin::JointPositionTarget>(s.variable);
            std::unique_ptr<Distribution> copy = target->jointPositions().clone();
            auto* fixed = dynamic_cast<kestrin::DeterministicDistribution*>(copy.get());
            if (!fixed)
                throw kestrin::ValueError(
                    tr("Only a Deterministic target can be set from a robot's joint positions."));
            fixed->setValue(robot->jointPositions());
            target->setJointPositions(std::move(copy));
        });
    });
    m_sync.push_back([this, robots, button, joints](const Subject&) {
        QStringList names;
        const kestrin::Workspace* workspace = m_container->project()->workspace();
        for (const QString& name : workspace->getRobots())
            if (workspace->findRobot(name)->getNumDofs() == joints)
                names << name;
        const QString chosen = robots->currentText();
        robots->clear();
        robots->addItems(names);
        robots->setCurrentIndex(std::max(0, names.indexOf(chosen)));
        button->setEnabled(!names.isEmpty());
        button->setToolTip(names.isEmpty() ? tr("No robot in the cell has %1 joints.").arg(joints)
                                           : tr("Copy the chosen robot's current joint positions"));
    });
}
