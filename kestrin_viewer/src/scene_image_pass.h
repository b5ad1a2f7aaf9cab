#pragma once
// Private to the viewer: a render pass that keeps images of the settled part of the scene.
//
// A frame of a large cell costs as much as all of its triangles, yet most frames while editing
// change one object or none: a selection outline, an object added, a robot jogged. This pass
// keeps two offscreen images of the props that have not changed lately, in the render window's
// own format: their opaque geometry alone (colour and depth), and the finished picture with the
// translucent geometry (task regions) blended over it. A frame copies the finished picture
// back. Where props that changed are on screen, it copies the opaque image back into that
// rectangle, draws the changed props there, and blends the translucent props that cross the
// rectangle over them, in the order a whole frame would, clipped to the rectangle. So an object
// added or moved inside a task region is seen through it, and the frame is the frame a whole
// redraw would give. Both images are drawn anew when the camera moves, the window changes size,
// or a prop in them changes or leaves.
//
// Contract with the viewer:
// - Only props handed to keep() ever go into the images; every other prop of the renderer (the
//   outline, the teleoperation handle) is drawn on every frame.
// - changed() must be called whenever a kept prop draws differently (moved, reshaped); forget()
//   before it leaves the renderer. A prop that changed is drawn on every frame until it has not
//   changed for a while, so that a robot being jogged does not redraw the images each time.
// - Hardware picking renders through the pass without the images and leaves them as they were.
// - When the images cannot be made (an OpenGL error on the first copy) the pass draws whole
//   frames from then on.

#include <vtkRenderPass.h>
#include <vtkSmartPointer.h>

#include <array>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

class vtkCameraPass;
class vtkOpenGLFramebufferObject;
class vtkOpenGLRenderWindow;
class vtkProp;
class vtkRenderStepsPass;
class vtkRenderer;

namespace kestrin {

class ScissorStep;

class SceneImagePass : public vtkRenderPass {
public:
    static SceneImagePass* New();
    vtkTypeMacro(SceneImagePass, vtkRenderPass)

        void Render(const vtkRenderState* s) override;
    void ReleaseGraphicsResources(vtkWindow* window) override;

    /// The prop may go into the images once it has been drawn.
    void keep(vtkProp* prop);
    /// The prop's drawing changed: it is drawn on its own until it settles.
    void changed(vtkProp* prop);
    /// The prop's drawing was replaced once, not for good (the floor grid grown): the images
    /// are drawn anew with it, and it does not count as changing.
    void replaced(vtkProp* prop);
    /// The prop leaves the renderer.
    void forget(vtkProp* prop);

    /// With the images off, every frame is drawn whole (for comparisons).
    void setImageEnabled(bool enabled);
    bool isImageEnabled() const { return m_enabled; }
    /// False once copying a frame failed on this machine's OpenGL.
    bool isImageUsable() const { return !m_broken; }

    /// Frames drawn whole and frames drawn from the kept images, since the pass was made.
    std::uint64_t wholeFrames() const { return m_wholeFrames; }
    std::uint64_t imageFrames() const { return m_imageFrames; }

    /// A rectangle of window pixels, x0 and y0 included, x1 and y1 not.
    struct Rect {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        bool empty() const { return x0 >= x1 || y0 >= y1; }
        bool overlaps(const Rect& o) const { return x0 < o.x1 && o.x0 < x1 && y0 < o.y1 && o.y0 < y1; }
        void unite(const Rect& o);
    };

protected:
    SceneImagePass();
    ~SceneImagePass() override;

private:
    SceneImagePass(const SceneImagePass&) = delete;
    void operator=(const SceneImagePass&) = delete;

    struct PropState {
        std::uint64_t changedAt = 0; // frame number of the last change; 0: never changed
        bool inImage = false;
        bool looked = false;         // whether `translucent` is known for the prop as it is now
        bool translucent = false;    // has geometry for the steps after the opaque one
        std::uint64_t placedFor = 0; // view serial `onScreen` was worked out for; 0: not yet
        Rect onScreen;
    };

    bool settled(const PropState& state) const;
    Rect footprint(vtkProp* prop) const;
    const Rect& footprintOf(vtkProp* prop, PropState& state);
    void draw(vtkRenderStepsPass* steps, const vtkRenderState* s, std::vector<vtkProp*>& props, bool erase,
              const Rect* clip = nullptr);
    /// A frame drawn the way VTK draws one (or picks), counted as whole.
    void drawWhole(const vtkRenderState* s);
    void repair(const vtkRenderState* s, std::vector<vtkProp*>& changed, bool intoImages);
    bool prepareImages(vtkOpenGLRenderWindow* window, vtkOpenGLFramebufferObject* target);
    bool copy(vtkOpenGLFramebufferObject* from, vtkOpenGLFramebufferObject* to, const Rect& area);

    vtkSmartPointer<vtkRenderStepsPass> m_steps;  // everything, as VTK draws a frame
    vtkSmartPointer<vtkRenderStepsPass> m_opaque; // opaque geometry only
    vtkSmartPointer<vtkRenderStepsPass> m_rest;   // translucent, volumes and overlays
    vtkSmartPointer<ScissorStep> m_opaqueClip;
    vtkSmartPointer<ScissorStep> m_restClip;
    vtkSmartPointer<vtkCameraPass> m_selection; // hardware picking
    vtkSmartPointer<vtkOpenGLFramebufferObject> m_opaqueImage;
    vtkSmartPointer<vtkOpenGLFramebufferObject> m_image;
    std::unordered_map<vtkProp*, PropState> m_props;
    // The kept props of this frame with translucent geometry, in the frame's order.
    std::vector<std::pair<vtkProp*, PropState*>> m_translucent;

    // The frame being drawn.
    vtkOpenGLRenderWindow* m_window = nullptr;
    vtkOpenGLFramebufferObject* m_target = nullptr;

    std::size_t m_inImage = 0;
    std::uint64_t m_frame = 0;
    std::uint64_t m_viewSerial = 1;
    std::array<double, 32> m_view{};
    std::array<double, 16> m_worldToScreen{};
    int m_size[2] = {0, 0};
    int m_samples = -1;
    bool m_valid = false;
    bool m_enabled = true;
    bool m_broken = false;
    std::uint64_t m_wholeFrames = 0;
    std::uint64_t m_imageFrames = 0;
};

} // namespace kestrin
