// The least a Qt and VTK program does to show something: a window with one VTK view of a cube,
// shown, drawn once and written to a PNG, then exit. kestrin-bench times it against
// `kestrin-studio --screenshot`, with a view of the size the studio's view has, so that both
// draw as many pixels. Usage: kestrin-startup-baseline PATH.png [WIDTH HEIGHT]

#include <QApplication>
#include <QElapsedTimer>
#include <QSurfaceFormat>
#include <QThread>
#include <QVTKOpenGLNativeWidget.h>
#include <QWindow>

#include <vtkActor.h>
#include <vtkCubeSource.h>
#include <vtkGenericOpenGLRenderWindow.h>
#include <vtkPNGWriter.h>
#include <vtkPolyDataMapper.h>
#include <vtkRenderer.h>
#include <vtkSmartPointer.h>
#include <vtkWindowToImageFilter.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    QSurfaceFormat::setDefaultFormat(QVTKOpenGLNativeWidget::defaultFormat());
    QApplication app(argc, argv);
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: kestrin-startup-baseline PATH.png [WIDTH HEIGHT]\n");
        return 2;
    }
    const int width = argc == 4 ? std::atoi(argv[2]) : 960;
    const int height = argc == 4 ? std::atoi(argv[3]) : 640;

    QVTKOpenGLNativeWidget view;
    auto window = vtkSmartPointer<vtkGenericOpenGLRenderWindow>::New();
    view.setRenderWindow(window);
    auto renderer = vtkSmartPointer<vtkRenderer>::New();
    window->AddRenderer(renderer);
    auto cube = vtkSmartPointer<vtkCubeSource>::New();
    auto mapper = vtkSmartPointer<vtkPolyDataMapper>::New();
    mapper->SetInputConnection(cube->GetOutputPort());
    auto actor = vtkSmartPointer<vtkActor>::New();
    actor->SetMapper(mapper);
    renderer->AddActor(actor);
    renderer->ResetCamera();

    view.resize(std::max(width, 64), std::max(height, 64));
    view.show();
    QElapsedTimer waited;
    waited.start();
    while (!(view.windowHandle() && view.windowHandle()->isExposed()) && waited.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    QCoreApplication::processEvents();

    window->Render();
    auto capture = vtkSmartPointer<vtkWindowToImageFilter>::New();
    capture->SetInput(window);
    capture->SetInputBufferTypeToRGB();
    capture->ReadFrontBufferOff();
    capture->Update();
    auto writer = vtkSmartPointer<vtkPNGWriter>::New();
    writer->SetFileName(argv[1]);
    writer->SetInputConnection(capture->GetOutputPort());
    writer->Write();
    return writer->GetErrorCode() == 0 ? 0 : 1;
}
