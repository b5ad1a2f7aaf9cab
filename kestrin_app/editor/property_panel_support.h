#pragma once
// Private to the property panel: helpers its editors share.

#include "property_panel.h"

#include <kestrin/error.h>
#include <kestrin/variable.h>
#include <kestrin/workspace_object.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QStringList>

#include <cmath>
#include <initializer_list>

namespace ks_property_panel {

constexpr double kDeg = M_PI / 180.0;
// Editors accept more than the model does, so that a value out of range reaches the core
// library and is refused with its message rather than silently clipped. Positions and sizes
// take the model's own bounds: every value the model holds is shown as it is.
constexpr double kMaxMetres = kestrin::kMaxPosition;
constexpr double kMaxDegrees = 720.0;
/// Lists of values (joints, components) show no more rows than a robot has joints.
constexpr int kMaxVectorRows = kestrin::MotionLimits::kMaxJoints;

/// Sets a spin box only when its value differs (setting it redraws and signals).
inline void setSpin(QDoubleSpinBox* spin, double value) {
    if (spin->value() != value)
        spin->setValue(value);
}

/// Fills a reference chooser: "(none)", the names, and the current value when it is not among
/// them (so that the chooser never shows something other than what is stored).
inline void fillChoices(QComboBox* combo, const QStringList& names, const QString& value) {
    combo->clear();
    combo->addItem(KSPropertyPanel::tr("(none)"), QString());
    for (const QString& name : names)
        combo->addItem(name, name);
    if (!value.isEmpty() && !names.contains(value))
        combo->addItem(KSPropertyPanel::tr("%1 (missing)").arg(value), value);
    combo->setCurrentIndex(combo->findData(value));
}

/// `from` as a T, or a failure naming it when it is of another kind by now.
template <class T, class From> T* as(From* from) {
    auto* cast = dynamic_cast<T*>(from);
    if (!cast)
        throw kestrin::ValueError(
            KSPropertyPanel::tr("'%1' is no longer of the kind shown.").arg(from->name()));
    return cast;
}

/// A row of editors side by side, for one line of a form.
inline QWidget* row(std::initializer_list<QWidget*> widgets, int stretchFirst = 0) {
    auto* widget = new QWidget;
    auto* layout = new QHBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    bool first = true;
    for (QWidget* w : widgets) {
        layout->addWidget(w, first ? stretchFirst : 0);
        first = false;
    }
    return widget;
}

} // namespace ks_property_panel
