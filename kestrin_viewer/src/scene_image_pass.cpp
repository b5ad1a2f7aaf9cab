#include "scene_image_pass.h"

#include <vtkCamera.h>
#include <vtkCameraPass.h>
#include <vtkHardwareSelector.h>
#include <vtkMath.h>
#include <vtkMatrix4x4.h>
#include <vtkObjectFactory.h>
#include <vtkOpenGLFramebufferObject.h>
#include <vtkOpenGLRenderWindow.h>
#include <vtkOpenGLState.h>
#include <vtkProp.h>
#include <vtkRenderState.h>
#include <vtkRenderStepsPass.h>
#include <vtkRenderer.h>
#include <vtk_glew.h>

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace kestrin {

namespace {

// A prop that changed is drawn on its own for this many frames after its last change. Jogging a
// robot by key or by drag changes it every frame or two; letting it settle at once would draw
// the images anew at the next jog.
constexpr std::uint64_t kSettleFrames = 30;

// Pixels added round a prop's rectangle on screen: wide lines and multisampling reach a little
// beyond the projected bounds.
constexpr int kRectMargin = 4;

/// Where the camera looks from and how it projects, for a frame of that aspect ratio.
std::array<double, 32> viewOf(vtkCamera* camera, double aspect) {
    std::array<double, 32> view{};
    vtkMatrix4x4* modelView = camera->GetModelViewTransformMatrix();
    vtkMatrix4x4* projection = camera->GetProjectionTransformMatrix(aspect, -1, 1);
    for (int i = 0; i < 16; ++i) {
        view[i] = modelView->GetElement(i / 4, i % 4);
        view[16 + i] = projection->GetElement(i / 4, i % 4);
    }
    return view;
}

/// Equal but for rounding: a screenshot draws through a copy of the camera that keeps its view
/// angle in single precision.
bool sameView(const std::array<double, 32>& a, const std::array<double, 32>& b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::abs(a[i] - b[i]) > 1e-6 * std::max({1.0, std::abs(a[i]), std::abs(b[i])}))
            return false;
    return true;
}

void clearGlErrors() {
    for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
    }
}

/// What a renderer without passes does when it is picking: the hardware selector draws each
/// prop in its pick colour. It needs the camera set up first, so it is a camera pass's delegate.
class SelectionStep : public vtkRenderPass {
public:
    static SelectionStep* New();
    vtkTypeMacro(SelectionStep, vtkRenderPass) void Render(const vtkRenderState* s) override {
        vtkRenderer* renderer = s->GetRenderer();
        NumberOfRenderedProps =
            renderer->GetSelector()->Render(renderer, s->GetPropArray(), s->GetPropArrayCount());
    }
};
vtkStandardNewMacro(SelectionStep);

} // namespace

/// Between a camera step, which sets the scissor box to the whole view, and the steps that
/// draw: narrows the box to a rectangle while one is set.
class ScissorStep : public vtkRenderPass {
public:
    static ScissorStep* New();
    vtkTypeMacro(ScissorStep, vtkRenderPass)

        vtkSmartPointer<vtkRenderPass> delegate;
    const SceneImagePass::Rect* clip = nullptr;

    void Render(const vtkRenderState* s) override {
        if (clip) {
            auto* window = static_cast<vtkOpenGLRenderWindow*>(s->GetRenderer()->GetRenderWindow());
            window->GetState()->vtkglScissor(clip->x0, clip->y0, clip->x1 - clip->x0, clip->y1 - clip->y0);
        }
        delegate->Render(s);
        NumberOfRenderedProps = delegate->GetNumberOfRenderedProps();
    }
    void ReleaseGraphicsResources(vtkWindow* window) override { delegate->ReleaseGraphicsResources(window); }
};
vtkStandardNewMacro(ScissorStep);

vtkStandardNewMacro(SceneImagePass);

void SceneImagePass::Rect::unite(const Rect& o) {
    if (o.empty())
        return;
    if (empty()) {
        *this = o;
        return;
    }
    x0 = std::min(x0, o.x0);
    y0 = std::min(y0, o.y0);
    x1 = std::max(x1, o.x1);
    y1 = std::max(y1, o.y1);
}

SceneImagePass::SceneImagePass()
    : m_steps(vtkSmartPointer<vtkRenderStepsPass>::New()),
      m_opaque(vtkSmartPointer<vtkRenderStepsPass>::New()),
      m_rest(vtkSmartPointer<vtkRenderStepsPass>::New()), m_opaqueClip(vtkSmartPointer<ScissorStep>::New()),
      m_restClip(vtkSmartPointer<ScissorStep>::New()), m_selection(vtkSmartPointer<vtkCameraPass>::New()) {
    // The opaque image holds opaque geometry only; what is translucent is blended over it as
    // the last step, as in a whole frame.
    m_opaque->SetTranslucentPass(nullptr);
    m_opaque->SetVolumetricPass(nullptr);
    m_opaque->SetOverlayPass(nullptr);
    m_rest->SetOpaquePass(nullptr);
    for (auto [steps, clip] :
         {std::pair{m_opaque.Get(), m_opaqueClip.Get()}, {m_rest.Get(), m_restClip.Get()}}) {
        clip->delegate = steps->GetCameraPass()->GetDelegatePass();
        steps->GetCameraPass()->SetDelegatePass(clip);
    }
    m_selection->SetDelegatePass(vtkSmartPointer<SelectionStep>::New());
}

SceneImagePass::~SceneImagePass() = default;

void SceneImagePass::keep(vtkProp* prop) {
    m_props.emplace(prop, PropState{});
}

void SceneImagePass::changed(vtkProp* prop) {
    auto it = m_props.find(prop);
    if (it == m_props.end())
        return;
    PropState& state = it->second;
    if (state.inImage) {
        state.inImage = false;
        --m_inImage;
        m_valid = false;
    }
    state.changedAt = m_frame + 1;
    state.looked = false;
    state.placedFor = 0;
}

void SceneImagePass::replaced(vtkProp* prop) {
    auto it = m_props.find(prop);
    if (it == m_props.end())
        return;
    if (it->second.inImage)
        m_valid = false;
    it->second.looked = false;
    it->second.placedFor = 0;
}

void SceneImagePass::forget(vtkProp* prop) {
    auto it = m_props.find(prop);
    if (it == m_props.end())
        return;
    if (it->second.inImage) {
        --m_inImage;
        m_valid = false;
    }
    m_props.erase(it);
}

void SceneImagePass::setImageEnabled(bool enabled) {
    m_enabled = enabled;
    m_valid = false;
}

bool SceneImagePass::settled(const PropState& state) const {
    return state.changedAt == 0 || m_frame > state.changedAt + kSettleFrames;
}

SceneImagePass::Rect SceneImagePass::footprint(vtkProp* prop) const {
    const Rect all{0, 0, m_size[0], m_size[1]};
    const double* bounds = prop->GetBounds();
    if (!bounds || !vtkMath::AreBoundsInitialized(bounds))
        return all; // no bounds to go by: all of the view
    double left = m_size[0], right = 0, bottom = m_size[1], top = 0;
    const double* m = m_worldToScreen.data();
    for (int corner = 0; corner < 8; ++corner) {
        const double x = bounds[corner & 1], y = bounds[2 + ((corner >> 1) & 1)],
                     z = bounds[4 + (corner >> 2)];
        const double w = m[12] * x + m[13] * y + m[14] * z + m[15];
        if (w <= 1e-9)
            return all; // reaches behind the camera
        const double sx = (m[0] * x + m[1] * y + m[2] * z + m[3]) / w;
        const double sy = (m[4] * x + m[5] * y + m[6] * z + m[7]) / w;
        const double px = (sx + 1) / 2 * m_size[0], py = (sy + 1) / 2 * m_size[1];
        left = std::min(left, px);
        right = std::max(right, px);
        bottom = std::min(bottom, py);
        top = std::max(top, py);
    }
    auto clampTo = [](double v, int hi) {
        return static_cast<int>(std::clamp(v, 0.0, static_cast<double>(hi)));
    };
    Rect r{clampTo(std::floor(left) - kRectMargin, m_size[0]),
           clampTo(std::floor(bottom) - kRectMargin, m_size[1]),
           clampTo(std::ceil(right) + kRectMargin, m_size[0]),
           clampTo(std::ceil(top) + kRectMargin, m_size[1])};
    return r;
}

const SceneImagePass::Rect& SceneImagePass::footprintOf(vtkProp* prop, PropState& state) {
    if (state.placedFor != m_viewSerial) {
        state.onScreen = footprint(prop);
        state.placedFor = m_viewSerial;
    }
    return state.onScreen;
}

void SceneImagePass::draw(vtkRenderStepsPass* steps, const vtkRenderState* s, std::vector<vtkProp*>& props,
                          bool erase, const Rect* clip) {
    vtkRenderer* renderer = s->GetRenderer();
    vtkRenderState part(renderer);
    part.SetPropArrayAndCount(props.empty() ? nullptr : props.data(), static_cast<int>(props.size()));
    part.SetFrameBuffer(s->GetFrameBuffer());
    // The camera step clears the frame unless the renderer says not to erase; clearing is also
    // what turns the depth test on.
    const vtkTypeBool erasing = renderer->GetErase();
    if (!erase) {
        renderer->SetErase(false);
        if (auto* window = vtkOpenGLRenderWindow::SafeDownCast(renderer->GetRenderWindow())) {
            window->GetState()->vtkglEnable(GL_DEPTH_TEST);
            window->GetState()->vtkglDepthMask(GL_TRUE);
        }
    }
    ScissorStep* scissor = steps == m_opaque ? m_opaqueClip.Get()
                           : steps == m_rest ? m_restClip.Get()
                                             : nullptr;
    if (scissor)
        scissor->clip = clip;
    steps->Render(&part);
    if (scissor)
        scissor->clip = nullptr;
    renderer->SetErase(erasing);
    NumberOfRenderedProps += steps->GetNumberOfRenderedProps();
}

void SceneImagePass::drawWhole(const vtkRenderState* s) {
    ++m_wholeFrames;
    if (s->GetRenderer()->GetSelector()) {
        m_selection->Render(s);
        NumberOfRenderedProps += m_selection->GetNumberOfRenderedProps();
        return;
    }
    std::vector<vtkProp*> all(s->GetPropArray(), s->GetPropArray() + s->GetPropArrayCount());
    draw(m_steps, s, all, true);
}

bool SceneImagePass::prepareImages(vtkOpenGLRenderWindow* window, vtkOpenGLFramebufferObject* target) {
    const int* size = target->GetLastSize();
    const int samples = target->GetMultiSamples();
    if (m_image && m_opaqueImage && m_size[0] == size[0] && m_size[1] == size[1] && m_samples == samples)
        return true;
    bool made = true;
    vtkOpenGLState* state = window->GetState();
    for (auto* image : {&m_opaqueImage, &m_image}) {
        if (*image)
            (*image)->ReleaseGraphicsResources(window);
        *image = vtkSmartPointer<vtkOpenGLFramebufferObject>::New();
        (*image)->SetContext(window);
        state->PushFramebufferBindings();
        (*image)->Bind();
        // The same layout as the render window's own framebuffer, so that colour and depth
        // copy across sample for sample.
        made = (*image)->PopulateFramebuffer(size[0], size[1], true, 1, VTK_UNSIGNED_CHAR, true, 32, samples,
                                             window->GetStencilCapable() != 0) &&
               made;
        state->PopFramebufferBindings();
    }
    m_size[0] = size[0];
    m_size[1] = size[1];
    m_samples = samples;
    return made;
}

bool SceneImagePass::copy(vtkOpenGLFramebufferObject* from, vtkOpenGLFramebufferObject* to,
                          const Rect& area) {
    vtkOpenGLState* state = m_window->GetState();
    clearGlErrors();
    state->PushFramebufferBindings();
    from->Bind(GL_READ_FRAMEBUFFER);
    from->ActivateReadBuffer(0);
    to->Bind(GL_DRAW_FRAMEBUFFER);
    to->ActivateDrawBuffer(0);
    {
        vtkOpenGLState::ScopedglEnableDisable scissor(state, GL_SCISSOR_TEST);
        state->vtkglDisable(GL_SCISSOR_TEST);
        state->vtkglBlitFramebuffer(area.x0, area.y0, area.x1, area.y1, area.x0, area.y0, area.x1, area.y1,
                                    GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT, GL_NEAREST);
    }
    state->PopFramebufferBindings();
    return glGetError() == GL_NO_ERROR;
}

void SceneImagePass::repair(const vtkRenderState* s, std::vector<vtkProp*>& changed, bool intoImages) {
    Rect area;
    for (vtkProp* prop : changed)
        area.unite(footprint(prop));
    if (area.empty())
        return; // all off screen

    // The opaque settled scene under the rectangle, the changed props on it, then every
    // translucent prop that crosses the rectangle blended over them in the frame's order.
    copy(m_opaqueImage, m_target, area);
    draw(m_opaque, s, changed, false, &area);
    if (intoImages)
        copy(m_target, m_opaqueImage, area);

    // Props not kept first: they come first in the renderer too (the outline, the handle).
    const std::unordered_set<vtkProp*> changedSet(changed.begin(), changed.end());
    std::vector<vtkProp*> blended;
    for (vtkProp* prop : changed)
        if (m_props.find(prop) == m_props.end())
            blended.push_back(prop); // translucency unknown, and overlays
    for (const auto& [prop, state] : m_translucent) {
        const bool isChanged = changedSet.count(prop) != 0;
        if (isChanged || (state->inImage && footprintOf(prop, *state).overlaps(area)))
            blended.push_back(prop);
    }
    if (!blended.empty())
        draw(m_rest, s, blended, false, &area);
    if (intoImages)
        copy(m_target, m_image, area);
}

void SceneImagePass::Render(const vtkRenderState* s) {
    NumberOfRenderedProps = 0;
    ++m_frame;
    vtkRenderer* renderer = s->GetRenderer();
    m_window = vtkOpenGLRenderWindow::SafeDownCast(renderer->GetRenderWindow());
    m_target = m_window ? m_window->GetRenderFramebuffer() : nullptr;

    // Picking, stereo, drawing into someone else's framebuffer: whole frames, images untouched.
    bool imagesApply = m_enabled && !m_broken && !renderer->GetSelector() && !s->GetFrameBuffer() &&
                       m_target && m_target->GetFBOIndex() != 0 && !m_window->GetStereoRender();
    if (imagesApply) {
        int bound = 0;
        m_window->GetState()->vtkglGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &bound);
        imagesApply = static_cast<unsigned int>(bound) == m_target->GetFBOIndex();
    }
    if (!imagesApply) {
        drawWhole(s);
        return;
    }

    const int* size = m_target->GetLastSize();
    const double aspect = size[1] > 0 ? static_cast<double>(size[0]) / size[1] : 1.0;
    vtkCamera* camera = renderer->GetActiveCamera();
    const std::array<double, 32> view = viewOf(camera, aspect);
    if (!sameView(view, m_view) || size[0] != m_size[0] || size[1] != m_size[1] ||
        m_target->GetMultiSamples() != m_samples) {
        m_valid = false;
        m_view = view;
        ++m_viewSerial;
        vtkMatrix4x4* toScreen = camera->GetCompositeProjectionTransformMatrix(aspect, -1, 1);
        std::copy(toScreen->GetData(), toScreen->GetData() + 16, m_worldToScreen.begin());
    }
    if (!prepareImages(m_window, m_target)) {
        m_broken = true;
        drawWhole(s);
        return;
    }

    // Settled props in the images need no drawing; settled ones that are not go into them;
    // the rest (changed lately, or not kept) are drawn over them.
    vtkProp** props = s->GetPropArray();
    const int count = s->GetPropArrayCount();
    std::vector<vtkProp*> settledProps, moving, fresh;
    m_translucent.clear();
    std::size_t shown = 0;
    for (int i = 0; i < count; ++i) {
        vtkProp* prop = props[i];
        auto it = m_props.find(prop);
        if (it == m_props.end()) {
            moving.push_back(prop);
            continue;
        }
        PropState& state = it->second;
        if (!state.looked) {
            state.translucent = prop->HasTranslucentPolygonalGeometry() != 0;
            state.looked = true;
        }
        if (state.translucent)
            m_translucent.emplace_back(prop, &state);
        if (!settled(state)) {
            moving.push_back(prop);
            continue;
        }
        settledProps.push_back(prop);
        if (state.inImage)
            ++shown;
        else
            fresh.push_back(prop);
    }
    // A prop of the images that is no longer drawn (hidden) must leave them too.
    if (shown != m_inImage)
        m_valid = false;

    const Rect all{0, 0, m_size[0], m_size[1]};
    if (!m_valid) {
        draw(m_opaque, s, settledProps, true);
        bool copied = copy(m_target, m_opaqueImage, all);
        std::vector<vtkProp*> blended;
        for (vtkProp* prop : settledProps)
            if (m_props[prop].translucent)
                blended.push_back(prop);
        if (!blended.empty())
            draw(m_rest, s, blended, false);
        copied = copy(m_target, m_image, all) && copied;
        if (!copied) {
            // This OpenGL cannot copy frames: whole frames from now on, this one included.
            m_broken = true;
            m_image = nullptr;
            m_opaqueImage = nullptr;
            drawWhole(s);
            return;
        }
        for (auto& entry : m_props)
            entry.second.inImage = false;
        for (vtkProp* prop : settledProps) {
            PropState& state = m_props[prop];
            state.inImage = true;
            // Where the translucent ones are on screen is asked at the next change; work it
            // out now, while the frame is slow anyway, rather than in the first quick one.
            if (state.translucent)
                footprintOf(prop, state);
        }
        m_inImage = settledProps.size();
        m_valid = true;
        ++m_wholeFrames;
    } else {
        copy(m_image, m_target, all);
        if (!fresh.empty()) {
            repair(s, fresh, true);
            for (vtkProp* prop : fresh)
                m_props[prop].inImage = true;
            m_inImage += fresh.size();
        }
        ++m_imageFrames;
    }
    if (!moving.empty())
        repair(s, moving, false);
}

void SceneImagePass::ReleaseGraphicsResources(vtkWindow* window) {
    for (auto* image : {&m_opaqueImage, &m_image}) {
        if (*image)
            (*image)->ReleaseGraphicsResources(window);
        *image = nullptr;
    }
    m_size[0] = m_size[1] = 0;
    m_samples = -1;
    m_valid = false;
    m_steps->ReleaseGraphicsResources(window);
    m_opaque->ReleaseGraphicsResources(window);
    m_rest->ReleaseGraphicsResources(window);
    m_selection->ReleaseGraphicsResources(window);
}

} // namespace kestrin
