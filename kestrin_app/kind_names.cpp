#include "kind_names.h"

#include "log.h"

#include <kestrin/items.h>
#include <kestrin/type.h>

#include <QHash>

namespace kestrin_app {

QString readableKindName(const kestrin::Type& type) {
    return readableKindName(type.name());
}

QString readableKindName(const QString& typeName) {
    static const QHash<QString, QString> names{
        {QStringLiteral("FrankaPandaRobot"), QStringLiteral("Franka Panda")},
        {QStringLiteral("UR3eRobot"), QStringLiteral("UR3e")},
        {QStringLiteral("UR5eRobot"), QStringLiteral("UR5e")},
        {QStringLiteral("UR10eRobot"), QStringLiteral("UR10e")},
        {QStringLiteral("UrdfRobot"), QStringLiteral("Robot (URDF)")},
        {QStringLiteral("RobotiqGripper2F85"), QStringLiteral("Robotiq 2F-85")},
        {QStringLiteral("FrankaHand"), QStringLiteral("Franka Hand")},
        {QStringLiteral("RealsenseD435i"), QStringLiteral("RealSense D435i")},
        {QStringLiteral("RealsenseD405"), QStringLiteral("RealSense D405")},
        {QStringLiteral("MoveToJointTarget"), QStringLiteral("Move to Joint Target")},
        {QStringLiteral("MoveToTaskRegion"), QStringLiteral("Move to Task Region")},
    };
    const auto it = names.constFind(typeName);
    if (it != names.cend())
        return *it;
    // "TaskRegionTarget" reads "Task Region Target".
    QString words;
    for (int i = 0; i < typeName.size(); ++i) {
        const QChar c = typeName[i];
        if (i > 0 && c.isUpper() &&
            (typeName[i - 1].isLower() ||
             (i + 1 < typeName.size() && typeName[i + 1].isLower() && typeName[i - 1].isUpper())))
            words += QLatin1Char(' ');
        words += c;
    }
    return words;
}

QString readableKindName(const kestrin::WorkspaceObject& object) {
    if (const auto* item = dynamic_cast<const kestrin::CustomItem*>(&object); item && item->mesh())
        return QStringLiteral("Item (mesh)");
    return readableKindName(object.type());
}

void logNameMadeUnique(const QString& kind, const QString& wanted, const QString& given) {
    if (wanted == given)
        return;
    qCInfo(lcApp, "The %s name '%s' is taken: named it '%s'", qUtf8Printable(kind), qUtf8Printable(wanted),
           qUtf8Printable(given));
}

} // namespace kestrin_app
