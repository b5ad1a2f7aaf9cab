#pragma once
// The content layer: answers the main window's actions that change or show the project.

#include "dialogs.h"

#include <QString>
#include <functional>
#include <kestrin/file_stamp.h>
#include <kestrin/workspace_state.h>
#include <optional>

class QMainWindow;
class KSProjectContainer;
class KSProjectTree;
class KSStatusBarWidget;

namespace kestrin {
class Project;
class Simulator;
class Type;
class WorkspaceObject;
class WorkspaceViewer;
} // namespace kestrin

namespace kestrin_app::content {

/// The user's home directory.
extern const QString DEFAULT_PATH;
/// "Kestrin project file (*.ext)"
extern const QString PROJECT_FILE_FILTER;
/// <home>/Documents/my_project.ext
extern const QString DEFAULT_PROJECT_SAVE;
/// "Png image file (*.png)"
extern const QString IMAGE_FILE_FILTER;
/// <home>/Desktop/screenshot.png
extern const QString DEFAULT_IMAGE_SAVE;
/// "URDF robot description (*.urdf)"
extern const QString URDF_FILE_FILTER;
/// The mesh formats Assimp reads that parts come in (STL, OBJ, COLLADA, PLY, 3MF, OFF, glTF...).
extern const QString MESH_FILE_FILTER;

/// The unit the add-item-from-mesh form proposes for a mesh file: metres for the formats that
/// carry their unit (COLLADA, whose unit the reader applies, and glTF, which is in metres),
/// millimetres for the rest, whose numbers CAD programs mostly write in millimetres.
QString defaultMeshUnit(const QString& path);

/// Carries out the project-level actions of the main window. It owns none of the objects it is
/// given and asks the container for the project and the viewer afresh on every use.
class KSContentHandler {
public:
    KSContentHandler(QMainWindow* window, KSProjectContainer* container, KSProjectTree* project_tree,
                     KSStatusBarWidget* status_bar);

    kestrin::WorkspaceViewer* viewer() const;
    kestrin::Project* project() const;

    void _lock();
    void _unlock();

    // Project lifecycle (wrapped; all but quit guarded by the lock).
    void quit();
    void newProject();
    void openProject();
    void openTemplate(const QString& filename);
    void saveProject();
    void saveProjectAs();
    /// Opens a file named by the caller (File > Open Recent) after the save-first offer; fails
    /// with a message naming the file when it no longer exists. Guarded by the lock.
    void openRecent(const QString& path);
    /// Takes back or brings back one step of the project's undo history. Guarded by the lock.
    void undo();
    void redo();

    // Adding content (wrapped, not guarded).
    void addRobot(const QString& robot_t);
    void addEffector(const QString& effector_t);
    void addToolFrame();
    void addItem(const QString& item_t);
    void addTaskRegion();
    void addCamera(const QString& camera_t);
    void addFiducial(const QString& fiducial_t);
    /// File > Import Robot: a URDF file (and the meshes it names) read with a busy cursor; when
    /// its tree has several tips, the base and tip links are asked for; then the name. One undo
    /// step; a file that cannot be read or run adds nothing and says why.
    void importRobot();
    /// Add > Item from Mesh: a mesh file read with a busy cursor, then the name and the unit of
    /// the file's numbers; the item takes the mesh's shape and size. One undo step.
    void addItemFromMesh();
    void addBehavior(const kestrin::Type& type_t);
    void addVariable(const kestrin::Type& type_t);

    // Viewer modes and screenshots (wrapped; only teleoperation guarded).
    void setCameraMode();
    void setTeleoperationMode();
    void resetViewer();
    void screenshotViewer();

    /// Runs the program the user chooses in the local simulator, played in the viewer at
    /// _run_speed; the tree marks the behavior playing, and the one a fault ends in. Wrapped,
    /// guarded. Choosing no program (a project without any) runs nothing and says so.
    void runLocalSimulator();
    /// Puts the cell back to `start` and runs `program` as runLocalSimulator does, drawing with
    /// `seed`, without asking which program: a trial played again in the view, as one undo
    /// step. Wrapped, guarded.
    void replayProgram(const QString& program, quint64 seed, const kestrin::WorkspaceState& start);

    /// Lists in the log what collides in the cell as it is (anything nearer than the cell's
    /// clearance counts) and shows it in red in the view. Wrapped, guarded by the lock.
    void checkCollisions();

    // Respawn state (wrapped, guarded by the lock).
    void recordRespawnState();
    void resetState();

    /// Deletes what is selected in the project tree: workspace objects (a robot takes its tool
    /// frames with it), behaviors with everything below them, and variables, as one undo step.
    /// Deletes nothing, and fails with a message naming the users, when something selected is
    /// still used by an action or variable that is not deleted with it. Wrapped, guarded by the lock.
    void deleteSelection();

    /// Replaces the project with the one autosaved in `recoveryFile`, remembered as the project
    /// of `originalFile` (empty: none) and marked changed. Throws kestrin::Error when it cannot be
    /// read; nothing is replaced then.
    void _restoreProject(const QString& recoveryFile, const QString& originalFile);

    void _rebuildViewerAndTree();
    void _setupProject();

    // State, readable by the owner and tests.
    bool _locked = false;
    std::optional<kestrin::WorkspaceState> _respawn_state;
    /// The simulator whose run is playing, or nullptr (the run controls act on it).
    kestrin::Simulator* _simulator = nullptr;
    QString _active_filename;
    const void* _active_behavior = nullptr;
    QString _active_robot;
    QString _active_tool;

    /// Ends the application with the given status; quit calls it last. Replaceable so that a
    /// test can see the request without the test program ending.
    std::function<void(int)> _exit_application;
    /// Called with every simulator a run constructs, before it runs (tests count and seed them).
    std::function<void(kestrin::Simulator*)> _on_simulator_created;
    /// The main window's run controls follow runs through these: called with the simulator just
    /// before its run starts (_simulator is set then), after each step of the run, and once the
    /// run is over (_simulator is back to nullptr; the simulator has its outcome).
    std::function<void(kestrin::Simulator*)> _on_run_started;
    std::function<void(const kestrin::Simulator&)> _on_run_step;
    std::function<void(const kestrin::Simulator&)> _on_run_ended;
    /// Simulated seconds per wall-clock second of the next run (the run controls' speed).
    double _run_speed = 1.0;
    /// True once quit has ended the application: no operation of the handler runs after it.
    bool _quitting = false;

    /// The type tables of the add-operations, in the order type names are compared.
    static const QList<const kestrin::Type*>& robotTypes();
    static const QList<const kestrin::Type*>& effectorTypes();
    static const QList<const kestrin::Type*>& itemTypes();
    static const QList<const kestrin::Type*>& cameraTypes();
    static const QList<const kestrin::Type*>& fiducialTypes();
    static const QList<const kestrin::Type*>& variableTypes();

private:
    /// Prompt, cancel check, construction, rebuild: the steps every add-operation shares.
    void createContent(KSParams prompt, const std::function<void(const KSParams&)>& construct);
    /// createContent for a workspace object whose type is chosen by name from `table`.
    /// `made_hook` (if set) gets the new object before the undo step is recorded.
    void addNamedObject(const QString& type_name, const QList<const kestrin::Type*>& table,
                        const QString& defaultName, const QString& kind,
                        const std::function<void(kestrin::WorkspaceObject*)>& made_hook = {});
    /// Records what the operation changed as one step of the project's undo history.
    void recordStep(const QString& name);
    /// Sets a new object down at a free spot near the middle of the view (on the desk there when
    /// it fits), says where in the log, and has createContent select and show it.
    void placeInView(kestrin::WorkspaceObject* made);
    /// Id of the object the current add-operation made and placed (0: none).
    quint64 _placed_object = 0;
    /// The save-first offer of the operations that replace the project or end the program.
    /// False when the user asked to save and then cancelled the save-as chooser: the calling
    /// operation is then abandoned (a failed save throws, which abandons it too).
    bool offerToSave();
    /// Writes the project to the remembered file and marks the history saved. When the file
    /// was changed on disk since this studio opened or saved it, asks first; false when the
    /// user chose to leave it as it is (nothing was saved).
    bool saveToActiveFile();
    /// Whether the file may be written over: asks when it changed on disk since it was known.
    bool mayOverwrite(const QString& path);
    /// Replaces the project with the one in `path` and sets it up; remembers no file. A file
    /// that fails to load replaces nothing.
    void replaceWithFile(const QString& path);
    /// The body of a run in the viewer (runLocalSimulator, replayProgram): throws what breaks it off.
    void playProgram(const QString& program, quint64 seed);
    /// The run is over: forgets the simulator and tells the run controls.
    void endRun(const kestrin::Simulator& simulator);
    /// Set by saveProjectAs when its chooser was cancelled (read by offerToSave).
    bool _save_declined = false;

public:
    /// Remembers how `path` looked on disk when it was read (`stamp`, taken before reading) or
    /// written, so that a save can tell whether someone else wrote it since.
    void _noteFileOnDisk(const QString& path, const kestrin::FileStamp& stamp);

private:
    QString _known_file;
    kestrin::FileStamp _known_stamp;

    QMainWindow* _window;
    KSProjectContainer* _container;
    KSProjectTree* _project_tree;
    KSStatusBarWidget* _status_bar;
};

} // namespace kestrin_app::content
