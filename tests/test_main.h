#pragma once
// main() for test programs that open widgets: the surface format VTK needs must be set before
// the application exists, and Qt's own (scriptable) file dialogs are used instead of native ones.

#include <QApplication>
#include <QSurfaceFormat>
#include <QTest>
#include <QVTKOpenGLNativeWidget.h>

#define KESTRIN_GUI_TEST_MAIN(TestClass)                                                                     \
    int main(int argc, char** argv) {                                                                        \
        QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());                           \
        QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);                                             \
        QApplication app(argc, argv);                                                                        \
        app.setOrganizationName(QStringLiteral("KestrinTests"));                                             \
        TestClass tc;                                                                                        \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
