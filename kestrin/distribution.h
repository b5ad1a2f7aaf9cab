#pragma once
// Distributions over joint positions (radians), one dimension per joint.

#include <Eigen/Core>
#include <QJsonObject>
#include <QString>
#include <memory>
#include <random>

namespace kestrin {

class JsonContext;
class Type;

/// The random generator used for sampling; seed it for repeatable runs.
using RandomGenerator = std::mt19937_64;

class Distribution {
public:
    virtual ~Distribution() = default;
    static const Type& staticType();
    virtual const Type& type() const = 0;
    /// No distribution has more dimensions (one per joint of a robot).
    static constexpr int kMaxDimensions = 64;

    /// A distribution of kind "Deterministic" (all zeros), "Uniform" (each joint in [-pi, pi])
    /// or "Gaussian" (mean 0, standard deviation 0.1) with `dim` dimensions. Throws ValueError
    /// for another kind or a dimension outside 1..64.
    static std::unique_ptr<Distribution> CreateFromTypename(const QString& type_name, int dim);
    /// The kinds CreateFromTypename knows, in the order offered to users.
    static QStringList typeNames();

    /// "Deterministic", "Uniform" or "Gaussian".
    virtual QString typeName() const = 0;
    virtual int dim() const = 0;
    virtual Eigen::VectorXd sample(RandomGenerator& rng) const = 0;
    /// The most likely value (the value, the middle of the bounds, the mean).
    virtual Eigen::VectorXd mode() const = 0;
    virtual std::unique_ptr<Distribution> clone() const = 0;
    virtual bool equals(const Distribution& other) const = 0;

    QJsonObject toJson() const;
    static std::unique_ptr<Distribution> fromJson(const QJsonObject& json, const JsonContext& ctx);

protected:
    virtual void writeParameters(QJsonObject& json) const = 0;
};

/// Always the same value.
class DeterministicDistribution final : public Distribution {
public:
    explicit DeterministicDistribution(Eigen::VectorXd value);
    static const Type& staticType();
    const Type& type() const override { return staticType(); }
    QString typeName() const override { return QStringLiteral("Deterministic"); }
    int dim() const override { return static_cast<int>(m_value.size()); }
    const Eigen::VectorXd& value() const { return m_value; }
    /// Throws ValueError for a non-finite value or a change of dimension.
    void setValue(const Eigen::VectorXd& value);
    Eigen::VectorXd sample(RandomGenerator&) const override { return m_value; }
    Eigen::VectorXd mode() const override { return m_value; }
    std::unique_ptr<Distribution> clone() const override;
    bool equals(const Distribution& other) const override;

protected:
    void writeParameters(QJsonObject& json) const override;

private:
    Eigen::VectorXd m_value;
};

/// Each dimension uniform between its lower and upper bound.
class UniformDistribution final : public Distribution {
public:
    UniformDistribution(Eigen::VectorXd lower, Eigen::VectorXd upper);
    static const Type& staticType();
    const Type& type() const override { return staticType(); }
    QString typeName() const override { return QStringLiteral("Uniform"); }
    int dim() const override { return static_cast<int>(m_lower.size()); }
    const Eigen::VectorXd& lower() const { return m_lower; }
    const Eigen::VectorXd& upper() const { return m_upper; }
    /// Throws ValueError unless both are finite, of this dimension and lower <= upper.
    void setBounds(const Eigen::VectorXd& lower, const Eigen::VectorXd& upper);
    Eigen::VectorXd sample(RandomGenerator& rng) const override;
    Eigen::VectorXd mode() const override { return (m_lower + m_upper) / 2; }
    std::unique_ptr<Distribution> clone() const override;
    bool equals(const Distribution& other) const override;

protected:
    void writeParameters(QJsonObject& json) const override;

private:
    Eigen::VectorXd m_lower, m_upper;
};

/// Each dimension normally distributed, independently.
class GaussianDistribution final : public Distribution {
public:
    GaussianDistribution(Eigen::VectorXd mean, Eigen::VectorXd stddev);
    static const Type& staticType();
    const Type& type() const override { return staticType(); }
    QString typeName() const override { return QStringLiteral("Gaussian"); }
    int dim() const override { return static_cast<int>(m_mean.size()); }
    const Eigen::VectorXd& mean() const { return m_mean; }
    const Eigen::VectorXd& stddev() const { return m_stddev; }
    /// Throws ValueError unless both are finite, of this dimension and stddev >= 0.
    void setParameters(const Eigen::VectorXd& mean, const Eigen::VectorXd& stddev);
    Eigen::VectorXd sample(RandomGenerator& rng) const override;
    Eigen::VectorXd mode() const override { return m_mean; }
    std::unique_ptr<Distribution> clone() const override;
    bool equals(const Distribution& other) const override;

protected:
    void writeParameters(QJsonObject& json) const override;

private:
    Eigen::VectorXd m_mean, m_stddev;
};

} // namespace kestrin
