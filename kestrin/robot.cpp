#include "robot.h"

#include "effector.h"
#include "error.h"
#include "json_io.h"
#include "tool_frame.h"
#include "workspace.h"

#include <kdl/chain.hpp>
#include <kdl/chainfksolverpos_recursive.hpp>
#include <kdl/chainjnttojacsolver.hpp>
#include <kdl/frames.hpp>
#include <kdl/jacobian.hpp>

#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace kestrin {

namespace {

Pose toPose(const KDL::Frame& f) {
    Pose p = Pose::Identity();
    for (int r = 0; r < 3; ++r) {
        p.translation()[r] = f.p[r];
        for (int c = 0; c < 3; ++c)
            p.linear()(r, c) = f.M(r, c);
    }
    return p;
}

KDL::Frame toFrame(const Pose& p) {
    const Eigen::Matrix3d& r = p.linear();
    return KDL::Frame(
        KDL::Rotation(r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2), r(2, 0), r(2, 1), r(2, 2)),
        KDL::Vector(p.translation().x(), p.translation().y(), p.translation().z()));
}

Eigen::VectorXd vec(const std::vector<double>& v) {
    return Eigen::Map<const Eigen::VectorXd>(v.data(), static_cast<Eigen::Index>(v.size()));
}

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

// A solution puts the flange this near its target, in metres and in radians.
constexpr double kReachTolerance = 1e-6;

// The length of a KDL vector. (KDL's own Norm() returns 0 when every component is below its
// epsilon of 1e-6, which let solutions up to 1.7e-6 off pass for exact.)
double length(const KDL::Vector& v) {
    return std::sqrt(v.x() * v.x() + v.y() * v.y() + v.z() * v.z());
}

} // namespace

struct Robot::Kinematics {
    KDL::Chain chain;
    Eigen::VectorXd lower, upper, velocity, acceleration, home;
    QStringList linkNames;
    std::vector<std::vector<LinkShape>> visuals, collisions;
    double reach = 0;
    std::unique_ptr<KDL::ChainFkSolverPos_recursive> fk;
    std::unique_ptr<KDL::ChainJntToJacSolver> jacobian;

    /// Damped least squares from `start`, clamped to the joint limits at every step; the
    /// solution or no value. (KDL's own LMA solver holds fixed-size Eigen members whose layout
    /// depends on build flags, so it is not used across the library boundary.)
    std::optional<Eigen::VectorXd> solve(const KDL::Frame& target, const Eigen::VectorXd& start) const;

    KDL::JntArray joints(const Eigen::VectorXd& q) const {
        KDL::JntArray j(static_cast<unsigned>(q.size()));
        j.data = q;
        return j;
    }
};

std::optional<Eigen::VectorXd> Robot::Kinematics::solve(const KDL::Frame& target,
                                                        const Eigen::VectorXd& start) const {
    const unsigned n = chain.getNrOfJoints();
    Eigen::VectorXd q = start.cwiseMax(lower).cwiseMin(upper);
    KDL::JntArray joints(n);
    KDL::Jacobian jac(n);
    KDL::Frame reached;
    double lambda = 0.05;
    double lastError = std::numeric_limits<double>::infinity();
    for (int iteration = 0; iteration < 300; ++iteration) {
        joints.data = q;
        fk->JntToCart(joints, reached);
        const KDL::Twist delta = KDL::diff(reached, target);
        Eigen::Matrix<double, 6, 1> e;
        e << delta.vel.x(), delta.vel.y(), delta.vel.z(), delta.rot.x(), delta.rot.y(), delta.rot.z();
        const double error = e.norm();
        // Converge below the tolerance the caller checks against, so that bringing joints to
        // another turn afterwards (rounding in the last bits) cannot push a solution over it.
        if (length(delta.vel) < 0.5 * kReachTolerance && length(delta.rot) < 0.5 * kReachTolerance)
            return q;
        // Adapt the damping: less while the error falls, more when a step made things worse.
        lambda = error < lastError ? std::max(1e-4, lambda * 0.5) : std::min(1.0, lambda * 4);
        lastError = error;
        jacobian->JntToJac(joints, jac);
        const Eigen::MatrixXd& J = jac.data;
        const Eigen::MatrixXd JJt = J * J.transpose() + lambda * lambda * Eigen::MatrixXd::Identity(6, 6);
        Eigen::VectorXd step = J.transpose() * JJt.ldlt().solve(e);
        const double biggest = step.cwiseAbs().maxCoeff();
        if (biggest > 0.3)
            step *= 0.3 / biggest; // small steps keep the solution on the seed's branch
        q = (q + step).cwiseMax(lower).cwiseMin(upper);
    }
    return std::nullopt;
}

const Type& Robot::staticType() {
    static const Type t("Robot", &WorkspaceObject::staticType());
    return t;
}

Robot::Robot(Workspace* workspace, const QString& name, const Model& model)
    : WorkspaceObject(workspace, name, Category::Robot, model.baseSize) {
    setModel(model);
}

void Robot::setModel(const Model& model) {
    auto kin = std::make_unique<Kinematics>();
    auto& k = *kin;
    switch (model.convention) {
    case Model::Convention::StandardDH:
        for (const auto& row : model.rows)
            k.chain.addSegment(
                KDL::Segment(KDL::Joint(KDL::Joint::RotZ), KDL::Frame::DH(row[0], row[1], row[2], 0.0)));
        break;
    case Model::Convention::ModifiedDH:
        // Modified DH turns each joint after its row's a and alpha: a fixed first segment from
        // row 1, then joint i carries row i + 1, and the last joint carries the flange row.
        k.chain.addSegment(KDL::Segment(
            KDL::Joint(KDL::Joint::None),
            KDL::Frame::DH_Craig1989(model.rows[0][0], model.rows[0][1], model.rows[0][2], 0.0)));
        for (size_t i = 1; i < model.rows.size(); ++i)
            k.chain.addSegment(KDL::Segment(
                KDL::Joint(KDL::Joint::RotZ),
                KDL::Frame::DH_Craig1989(model.rows[i][0], model.rows[i][1], model.rows[i][2], 0.0)));
        break;
    case Model::Convention::Joints:
        // Each joint turns its link about its axis after the link is placed at the origin, as
        // robot descriptions have it: link = origin * turn(axis, q).
        for (const Model::Joint& joint : model.joints) {
            const KDL::Frame origin = toFrame(joint.origin);
            if (joint.axis.isZero()) {
                k.chain.addSegment(KDL::Segment(KDL::Joint(KDL::Joint::None), origin));
            } else {
                const Eigen::Vector3d a = joint.axis.normalized();
                k.chain.addSegment(
                    KDL::Segment(KDL::Joint("joint", origin.p, origin.M * KDL::Vector(a.x(), a.y(), a.z()),
                                            KDL::Joint::RotAxis),
                                 origin));
            }
            k.reach += joint.origin.translation().norm();
        }
        break;
    }
    for (size_t i = 0; i < model.rows.size(); ++i) // DH tables
        k.reach += i == 0 ? std::abs(model.rows[i][0]) : std::hypot(model.rows[i][0], model.rows[i][2]);
    k.lower = vec(model.lower);
    k.upper = vec(model.upper);
    k.velocity = vec(model.velocity);
    k.acceleration = vec(model.acceleration);
    k.home = vec(model.home);
    k.linkNames = model.linkNames;
    k.visuals = model.visuals;
    k.collisions = model.collisions;
    k.fk = std::make_unique<KDL::ChainFkSolverPos_recursive>(k.chain);
    k.jacobian = std::make_unique<KDL::ChainJntToJacSolver>(k.chain);
    m_kin = std::move(kin);
    m_q = m_kin->home;
    if (model.baseSize != size())
        setSizeChecked(model.baseSize);
}

Robot::~Robot() = default;

int Robot::getNumDofs() const {
    return static_cast<int>(m_kin->chain.getNrOfJoints());
}
const Eigen::VectorXd& Robot::lowerLimits() const {
    return m_kin->lower;
}
const Eigen::VectorXd& Robot::upperLimits() const {
    return m_kin->upper;
}
const Eigen::VectorXd& Robot::maxJointVelocities() const {
    return m_kin->velocity;
}
const Eigen::VectorXd& Robot::maxJointAccelerations() const {
    return m_kin->acceleration;
}
const Eigen::VectorXd& Robot::homePositions() const {
    return m_kin->home;
}
double Robot::reach() const {
    return m_kin->reach;
}
double Robot::linkRadius() const {
    return std::clamp(0.045 * std::max(m_kin->reach, 0.2), 0.018, 0.07);
}

void Robot::checkJointPositions(const Eigen::VectorXd& q) const {
    if (q.size() != getNumDofs())
        throw ValueError(QStringLiteral("Robot '%1' has %2 joints, but %3 joint positions were given.")
                             .arg(name())
                             .arg(getNumDofs())
                             .arg(q.size()));
    for (int i = 0; i < q.size(); ++i) {
        if (!std::isfinite(q[i]))
            throw ValueError(
                QStringLiteral("Joint %1 of robot '%2' must be a finite angle.").arg(i + 1).arg(name()));
        if (q[i] < m_kin->lower[i] - 1e-9 || q[i] > m_kin->upper[i] + 1e-9)
            throw ValueError(
                QStringLiteral("Joint %1 of robot '%2' must stay between %3 and %4 degrees (got %5).")
                    .arg(i + 1)
                    .arg(name())
                    .arg(m_kin->lower[i] / kDeg, 0, 'f', 1)
                    .arg(m_kin->upper[i] / kDeg, 0, 'f', 1)
                    .arg(q[i] / kDeg, 0, 'f', 1));
    }
}

void Robot::setJointPositions(const Eigen::VectorXd& q) {
    checkJointPositions(q);
    if (q == m_q)
        return;
    m_q = q;
    touch();
    ridersMoved();
}

void Robot::ridersMoved() {
    for (ToolFrame* frame : m_toolFrames)
        frame->_carriedMoved();
    for (Effector* effector : m_mounted)
        effector->_carriedMoved();
}

void Robot::_effectorMounted(Effector* effector, bool mounted) {
    m_mounted.erase(std::remove(m_mounted.begin(), m_mounted.end(), effector), m_mounted.end());
    if (mounted)
        m_mounted.push_back(effector);
}

Pose Robot::flangeInBase(const Eigen::VectorXd& q) const {
    KDL::Frame f;
    m_kin->fk->JntToCart(m_kin->joints(q), f);
    return toPose(f);
}

Pose Robot::flangePose() const {
    return pose() * flangeInBase(m_q);
}

std::vector<Pose> Robot::linkFrames(const Eigen::VectorXd& q) const {
    const Pose base = pose();
    std::vector<Pose> frames{base};
    const KDL::JntArray j = m_kin->joints(q);
    const int n = static_cast<int>(m_kin->chain.getNrOfSegments());
    for (int s = 1; s <= n; ++s) {
        KDL::Frame f;
        m_kin->fk->JntToCart(j, f, s);
        frames.push_back(base * toPose(f));
    }
    return frames;
}

std::vector<int> Robot::frameLinks() const {
    std::vector<int> links{0};
    int link = 0;
    for (const KDL::Segment& segment : m_kin->chain.segments) {
        if (segment.getJoint().getType() != KDL::Joint::None)
            ++link;
        links.push_back(link);
    }
    return links;
}

const std::vector<std::vector<LinkShape>>& Robot::visualShapes() const {
    return m_kin->visuals;
}

const std::vector<std::vector<LinkShape>>& Robot::collisionShapes() const {
    return m_kin->collisions;
}

std::vector<MeshRef> Robot::meshes() const {
    std::vector<MeshRef> found;
    for (const auto* list : {&m_kin->visuals, &m_kin->collisions})
        for (const std::vector<LinkShape>& shapes : *list)
            for (const LinkShape& shape : shapes)
                if (shape.mesh && std::find(found.begin(), found.end(), shape.mesh) == found.end())
                    found.push_back(shape.mesh);
    return found;
}

QString Robot::linkName(int link) const {
    if (link >= 0 && link < m_kin->linkNames.size())
        return m_kin->linkNames[link];
    return QStringLiteral("link %1").arg(link);
}

std::optional<Eigen::VectorXd> Robot::solveIKNear(const Pose& flangeWorld,
                                                  const Eigen::VectorXd& seed) const {
    if (seed.size() != getNumDofs() || !seed.allFinite())
        return std::nullopt;
    return m_kin->solve(toFrame(pose().inverse() * flangeWorld), seed);
}

std::optional<Eigen::VectorXd> Robot::solveIK(const Pose& flangeWorld, const Eigen::VectorXd& seed) const {
    const int n = getNumDofs();
    const KDL::Frame target = toFrame(pose().inverse() * flangeWorld);
    std::vector<Eigen::VectorXd> seeds;
    if (seed.size() == n && seed.allFinite())
        seeds.push_back(seed.cwiseMax(m_kin->lower).cwiseMin(m_kin->upper));
    seeds.push_back(m_kin->home);
    // A few more starting points spread over the joint ranges, always the same ones.
    std::mt19937_64 rng(20261208);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int s = 0; s < 6; ++s) {
        Eigen::VectorXd q(n);
        for (int i = 0; i < n; ++i)
            q[i] = m_kin->lower[i] + (m_kin->upper[i] - m_kin->lower[i]) * unit(rng);
        seeds.push_back(q);
    }
    const Eigen::VectorXd reference = seeds.front();
    std::optional<Eigen::VectorXd> best;
    for (const Eigen::VectorXd& start : seeds) {
        const std::optional<Eigen::VectorXd> solved = m_kin->solve(target, start);
        if (!solved)
            continue;
        Eigen::VectorXd q = *solved;
        // Bring each revolute joint to the turn nearest the reference that is within limits.
        bool ok = true;
        for (int i = 0; i < n && ok; ++i) {
            double v = q[i] + 2 * kPi * std::round((reference[i] - q[i]) / (2 * kPi));
            for (int t = 0; t < 3 && v > m_kin->upper[i]; ++t)
                v -= 2 * kPi;
            for (int t = 0; t < 3 && v < m_kin->lower[i]; ++t)
                v += 2 * kPi;
            ok = v >= m_kin->lower[i] - 1e-9 && v <= m_kin->upper[i] + 1e-9;
            q[i] = std::clamp(v, m_kin->lower[i], m_kin->upper[i]);
        }
        if (!ok)
            continue;
        KDL::Frame reached;
        m_kin->fk->JntToCart(m_kin->joints(q), reached);
        if (length(reached.p - target.p) > kReachTolerance ||
            length(KDL::diff(reached.M, target.M)) > kReachTolerance)
            continue;
        if (!best || (q - reference).norm() < (*best - reference).norm())
            best = q;
        if (best && (start - reference).norm() == 0)
            break; // the solution nearest the caller's own seed is the one a jog wants
    }
    return best;
}

void Robot::addToolFrame(ToolFrame* toolFrame) {
    if (!toolFrame)
        throw ValueError(QStringLiteral("No tool frame was given to attach to robot '%1'.").arg(name()));
    if (toolFrame->workspace() != workspace())
        throw ValueError(QStringLiteral("Tool frame '%1' belongs to another project than robot '%2'.")
                             .arg(toolFrame->name(), name()));
    if (toolFrame->robot() == this)
        return;
    if (Robot* old = toolFrame->robot())
        old->_detachToolFrame(toolFrame);
    m_toolFrames.push_back(toolFrame);
    toolFrame->_setRobot(this);
    touch();
    workspace()->_structureChanged();
}

void Robot::_detachToolFrame(ToolFrame* toolFrame) {
    m_toolFrames.erase(std::remove(m_toolFrames.begin(), m_toolFrames.end(), toolFrame), m_toolFrames.end());
    toolFrame->_setRobot(nullptr);
    touch();
    workspace()->_structureChanged();
}

QStringList Robot::getToolFrames() const {
    QStringList names;
    for (const ToolFrame* t : m_toolFrames)
        names << t->name();
    return names;
}

void Robot::writeJson(QJsonObject& json) const {
    json.insert(QStringLiteral("joint_positions"), toJson(m_q));
    QJsonArray frames;
    for (const ToolFrame* t : m_toolFrames)
        frames.append(t->name());
    json.insert(QStringLiteral("tool_frames"), frames);
}

void Robot::finishLoading(const JsonContext& ctx) {
    // Tool frames attach in file order; put them back in the order they were attached.
    if (m_pendingToolFrameOrder.isEmpty() && m_toolFrames.empty())
        return;
    std::vector<ToolFrame*> ordered;
    for (const QString& name : m_pendingToolFrameOrder) {
        auto it = std::find_if(m_toolFrames.begin(), m_toolFrames.end(),
                               [&](ToolFrame* t) { return t->name() == name; });
        if (it == m_toolFrames.end())
            ctx.failField(
                QStringLiteral("tool_frames"),
                QStringLiteral("names tool frame '%1', which is not on this robot in the file").arg(name));
        if (std::find(ordered.begin(), ordered.end(), *it) != ordered.end())
            ctx.failField(QStringLiteral("tool_frames"),
                          QStringLiteral("names tool frame '%1' twice").arg(name));
        ordered.push_back(*it);
    }
    if (ordered.size() != m_toolFrames.size())
        ctx.failField(QStringLiteral("tool_frames"),
                      QStringLiteral("must list every tool frame on this robot"));
    m_toolFrames = ordered;
    m_pendingToolFrameOrder.clear();
}

void Robot::readJson(const QJsonObject& json, const JsonContext& ctx) {
    const Eigen::VectorXd q = ctx.readVector(json, QStringLiteral("joint_positions"), getNumDofs());
    try {
        checkJointPositions(q);
    } catch (const ValueError& e) {
        ctx.failField(QStringLiteral("joint_positions"), QStringLiteral("is out of range: ") + e.message());
    }
    m_q = q;
    m_pendingToolFrameOrder = ctx.readStrings(json, QStringLiteral("tool_frames"));
    touch();
}

// ---------------------------------------------------------------------------------------------
// Models. Figures: the makers' published DH parameters and joint limits.

namespace {

Robot::Model urModel(double d1, double a2, double a3, double d4, double d5, double d6,
                     std::vector<double> degPerSec, Eigen::Vector3d base) {
    Robot::Model m;
    m.convention = Robot::Model::Convention::StandardDH;
    m.rows = {{0, kPi / 2, d1}, {a2, 0, 0}, {a3, 0, 0}, {0, kPi / 2, d4}, {0, -kPi / 2, d5}, {0, 0, d6}};
    m.lower = {-2 * kPi, -2 * kPi, -kPi, -2 * kPi, -2 * kPi, -2 * kPi};
    m.upper = {2 * kPi, 2 * kPi, kPi, 2 * kPi, 2 * kPi, 2 * kPi};
    for (double v : degPerSec) {
        m.velocity.push_back(v * kDeg);
        m.acceleration.push_back(2 * v * kDeg); // not published; full speed within half a second
    }
    m.home = {0, -kPi / 2, kPi / 2, -kPi / 2, -kPi / 2, 0};
    m.baseSize = base;
    m.linkNames = QStringList{"base", "shoulder", "upper arm", "forearm", "wrist 1", "wrist 2", "wrist 3"};
    return m;
}

} // namespace

struct RobotModels {
    static Robot::Model panda() {
        Robot::Model m;
        m.convention = Robot::Model::Convention::ModifiedDH;
        m.rows = {{0, 0, 0.333},
                  {0, -kPi / 2, 0},
                  {0, kPi / 2, 0.316},
                  {0.0825, kPi / 2, 0},
                  {-0.0825, -kPi / 2, 0.384},
                  {0, kPi / 2, 0},
                  {0.088, kPi / 2, 0},
                  {0, 0, 0.107}};
        m.lower = {-2.8973, -1.7628, -2.8973, -3.0718, -2.8973, -0.0175, -2.8973};
        m.upper = {2.8973, 1.7628, 2.8973, -0.0698, 2.8973, 3.7525, 2.8973};
        m.velocity = {2.1750, 2.1750, 2.1750, 2.1750, 2.6100, 2.6100, 2.6100};
        m.acceleration = {15, 7.5, 10, 12.5, 15, 20, 20};
        m.home = {0, -kPi / 4, 0, -3 * kPi / 4, 0, kPi / 2, kPi / 4};
        m.baseSize = {0.22, 0.22, 0.14};
        for (int link = 0; link <= 7; ++link)
            m.linkNames << QStringLiteral("link %1").arg(link);
        return m;
    }
};

KESTRIN_DEFINE_TYPE(FrankaPandaRobot, Robot, nullptr, &detail::makeObject<FrankaPandaRobot>)
KESTRIN_DEFINE_TYPE(UR3eRobot, Robot, nullptr, &detail::makeObject<UR3eRobot>)
KESTRIN_DEFINE_TYPE(UR5eRobot, Robot, nullptr, &detail::makeObject<UR5eRobot>)
KESTRIN_DEFINE_TYPE(UR10eRobot, Robot, nullptr, &detail::makeObject<UR10eRobot>)

FrankaPandaRobot::FrankaPandaRobot(Workspace* workspace, const QString& name)
    : Robot(workspace, name, RobotModels::panda()) {
    _register();
}

UR3eRobot::UR3eRobot(Workspace* workspace, const QString& name)
    : Robot(workspace, name,
            urModel(0.15185, -0.24355, -0.2132, 0.13105, 0.08535, 0.0921, {180, 180, 180, 360, 360, 360},
                    {0.128, 0.128, 0.15})) {
    _register();
}

UR5eRobot::UR5eRobot(Workspace* workspace, const QString& name)
    : Robot(workspace, name,
            urModel(0.1625, -0.425, -0.3922, 0.1333, 0.0997, 0.0996, {180, 180, 180, 180, 180, 180},
                    {0.149, 0.149, 0.16})) {
    _register();
}

UR10eRobot::UR10eRobot(Workspace* workspace, const QString& name)
    : Robot(workspace, name,
            urModel(0.1807, -0.6127, -0.57155, 0.17415, 0.11985, 0.11655, {120, 120, 180, 180, 180, 180},
                    {0.19, 0.19, 0.18})) {
    _register();
}

} // namespace kestrin
