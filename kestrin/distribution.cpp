#include "distribution.h"

#include "error.h"
#include "json_io.h"
#include "type.h"

#include <QStringList>
#include <cmath>

namespace kestrin {

namespace {
constexpr double kPi = 3.14159265358979323846;

void checkDimensions(Eigen::Index dim) {
    if (dim > Distribution::kMaxDimensions)
        throw ValueError(QStringLiteral("A distribution has at most %1 dimensions (got %2).")
                             .arg(Distribution::kMaxDimensions)
                             .arg(dim));
}

void checkVector(const Eigen::VectorXd& v, int dim, const QString& what) {
    if (v.size() != dim)
        throw ValueError(
            QStringLiteral("The %1 must have %2 values, not %3.").arg(what).arg(dim).arg(v.size()));
    if (!v.allFinite())
        throw ValueError(QStringLiteral("The %1 must hold finite numbers.").arg(what));
}
} // namespace

const Type& Distribution::staticType() {
    static const Type t("Distribution", nullptr);
    return t;
}
const Type& DeterministicDistribution::staticType() {
    static const Type t("DeterministicDistribution", &Distribution::staticType());
    return t;
}
const Type& UniformDistribution::staticType() {
    static const Type t("UniformDistribution", &Distribution::staticType());
    return t;
}
const Type& GaussianDistribution::staticType() {
    static const Type t("GaussianDistribution", &Distribution::staticType());
    return t;
}

QStringList Distribution::typeNames() {
    return {QStringLiteral("Deterministic"), QStringLiteral("Uniform"), QStringLiteral("Gaussian")};
}

std::unique_ptr<Distribution> Distribution::CreateFromTypename(const QString& type_name, int dim) {
    if (dim < 1)
        throw ValueError(QStringLiteral("A distribution needs at least one dimension (got %1).").arg(dim));
    checkDimensions(dim);
    if (type_name == QLatin1String("Deterministic"))
        return std::make_unique<DeterministicDistribution>(Eigen::VectorXd::Zero(dim));
    if (type_name == QLatin1String("Uniform"))
        return std::make_unique<UniformDistribution>(Eigen::VectorXd::Constant(dim, -kPi),
                                                     Eigen::VectorXd::Constant(dim, kPi));
    if (type_name == QLatin1String("Gaussian"))
        return std::make_unique<GaussianDistribution>(Eigen::VectorXd::Zero(dim),
                                                      Eigen::VectorXd::Constant(dim, 0.1));
    throw ValueError(QStringLiteral("'%1' is not a kind of distribution; choose one of %2.")
                         .arg(type_name, typeNames().join(QStringLiteral(", "))));
}

QJsonObject Distribution::toJson() const {
    QJsonObject json{{QStringLiteral("type"), typeName()}};
    writeParameters(json);
    return json;
}

std::unique_ptr<Distribution> Distribution::fromJson(const QJsonObject& json, const JsonContext& ctx) {
    const QString kind = ctx.readString(json, QStringLiteral("type"));
    const auto vector = [&](const QString& key) { return ctx.readVector(json, key, -1, kMaxDimensions); };
    try {
        if (kind == QLatin1String("Deterministic"))
            return std::make_unique<DeterministicDistribution>(vector(QStringLiteral("value")));
        if (kind == QLatin1String("Uniform"))
            return std::make_unique<UniformDistribution>(vector(QStringLiteral("lower")),
                                                         vector(QStringLiteral("upper")));
        if (kind == QLatin1String("Gaussian"))
            return std::make_unique<GaussianDistribution>(vector(QStringLiteral("mean")),
                                                          vector(QStringLiteral("stddev")));
    } catch (const ValueError& e) {
        ctx.fail(e.message());
    }
    ctx.failField(QStringLiteral("type"),
                  QStringLiteral("names an unknown kind of distribution '%1'").arg(kind));
}

DeterministicDistribution::DeterministicDistribution(Eigen::VectorXd value) : m_value(std::move(value)) {
    if (m_value.size() < 1)
        throw ValueError(QStringLiteral("A distribution needs at least one dimension."));
    checkDimensions(m_value.size());
    checkVector(m_value, dim(), QStringLiteral("value"));
}

void DeterministicDistribution::setValue(const Eigen::VectorXd& value) {
    checkVector(value, dim(), QStringLiteral("value"));
    m_value = value;
}

std::unique_ptr<Distribution> DeterministicDistribution::clone() const {
    return std::make_unique<DeterministicDistribution>(m_value);
}

bool DeterministicDistribution::equals(const Distribution& other) const {
    auto* o = dynamic_cast<const DeterministicDistribution*>(&other);
    return o && o->m_value.size() == m_value.size() && o->m_value == m_value;
}

void DeterministicDistribution::writeParameters(QJsonObject& json) const {
    json.insert(QStringLiteral("value"), kestrin::toJson(m_value));
}

UniformDistribution::UniformDistribution(Eigen::VectorXd lower, Eigen::VectorXd upper) {
    if (lower.size() < 1)
        throw ValueError(QStringLiteral("A distribution needs at least one dimension."));
    checkDimensions(lower.size());
    m_lower = Eigen::VectorXd::Zero(lower.size());
    m_upper = m_lower;
    setBounds(lower, upper);
}

void UniformDistribution::setBounds(const Eigen::VectorXd& lower, const Eigen::VectorXd& upper) {
    checkVector(lower, dim(), QStringLiteral("lower bounds"));
    checkVector(upper, dim(), QStringLiteral("upper bounds"));
    for (int i = 0; i < dim(); ++i)
        if (lower[i] > upper[i])
            throw ValueError(QStringLiteral("The lower bound of joint %1 (%2) is above its upper bound (%3).")
                                 .arg(i + 1)
                                 .arg(lower[i])
                                 .arg(upper[i]));
    m_lower = lower;
    m_upper = upper;
}

Eigen::VectorXd UniformDistribution::sample(RandomGenerator& rng) const {
    Eigen::VectorXd v(dim());
    for (int i = 0; i < dim(); ++i)
        v[i] = std::uniform_real_distribution<double>(m_lower[i], std::nextafter(m_upper[i], HUGE_VAL))(rng);
    return v.cwiseMin(m_upper);
}

std::unique_ptr<Distribution> UniformDistribution::clone() const {
    return std::make_unique<UniformDistribution>(m_lower, m_upper);
}

bool UniformDistribution::equals(const Distribution& other) const {
    auto* o = dynamic_cast<const UniformDistribution*>(&other);
    return o && o->dim() == dim() && o->m_lower == m_lower && o->m_upper == m_upper;
}

void UniformDistribution::writeParameters(QJsonObject& json) const {
    json.insert(QStringLiteral("lower"), kestrin::toJson(m_lower));
    json.insert(QStringLiteral("upper"), kestrin::toJson(m_upper));
}

GaussianDistribution::GaussianDistribution(Eigen::VectorXd mean, Eigen::VectorXd stddev) {
    if (mean.size() < 1)
        throw ValueError(QStringLiteral("A distribution needs at least one dimension."));
    checkDimensions(mean.size());
    m_mean = Eigen::VectorXd::Zero(mean.size());
    m_stddev = m_mean;
    setParameters(mean, stddev);
}

void GaussianDistribution::setParameters(const Eigen::VectorXd& mean, const Eigen::VectorXd& stddev) {
    checkVector(mean, dim(), QStringLiteral("means"));
    checkVector(stddev, dim(), QStringLiteral("standard deviations"));
    if ((stddev.array() < 0).any())
        throw ValueError(QStringLiteral("A standard deviation cannot be negative."));
    m_mean = mean;
    m_stddev = stddev;
}

Eigen::VectorXd GaussianDistribution::sample(RandomGenerator& rng) const {
    Eigen::VectorXd v(dim());
    for (int i = 0; i < dim(); ++i)
        v[i] = m_stddev[i] > 0 ? std::normal_distribution<double>(m_mean[i], m_stddev[i])(rng) : m_mean[i];
    return v;
}

std::unique_ptr<Distribution> GaussianDistribution::clone() const {
    return std::make_unique<GaussianDistribution>(m_mean, m_stddev);
}

bool GaussianDistribution::equals(const Distribution& other) const {
    auto* o = dynamic_cast<const GaussianDistribution*>(&other);
    return o && o->dim() == dim() && o->m_mean == m_mean && o->m_stddev == m_stddev;
}

void GaussianDistribution::writeParameters(QJsonObject& json) const {
    json.insert(QStringLiteral("mean"), kestrin::toJson(m_mean));
    json.insert(QStringLiteral("stddev"), kestrin::toJson(m_stddev));
}

} // namespace kestrin
