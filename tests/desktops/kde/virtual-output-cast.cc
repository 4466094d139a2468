// LD_PRELOAD shim for the KDE test session's kwin_wayland --virtual (KWin 5.27.5): make the virtual
// output announce its frames to screen casts, as the DRM and nested backends do.
//
// KWin records an output cast (ScreencastManager::streamOutput) from the Output::outputChange
// signal, which DrmOutput::present() emits; VirtualEglBackend::present() and
// VirtualQPainterBackend::present() only arm the vsync timer, so on --virtual every output cast
// (the portal's, and the dialog's preview) negotiates and then never gets a buffer. This hook
// wraps RenderLoop::endFrame() (called by the compositor after each frame is painted, through
// libkwin's PLT, so it can be interposed) and emits outputChange(whole output) for the active
// output the loop belongs to (Compositor::findOutput). KWin then copies the frame out with
// AbstractEglBackend::textureForOutput(), which the virtual backend does not override (DRM's reads
// its layer's texture) and which blits from whatever framebuffer is bound: none after painting, or
// when the stream's frame-rate timer fires later (a crash in GLFramebuffer::blitFromFramebuffer).
// So GLFramebuffer::popFramebuffer() is wrapped to remember the last framebuffer the painting
// popped (the output layer's), kept per output at endFrame(), and textureForOutput() binds that
// output's around the original (all three are called through libkwin's PLT or vtables). Tests only:
// OpenGL compositing (KWIN_COMPOSE=O2), no effects that paint into framebuffers of their own; never
// preload it on a real (DRM) session.
#include <dlfcn.h>
#include <stdlib.h>
#include <memory>

// KWin's children (kbuildsycoca5 when KWin looks up a desktop entry, Xwayland...) must not inherit
// the preload: they lack these symbols and die at start
__attribute__((constructor)) static void dropPreload() {
    unsetenv("LD_PRELOAD");
}

class QRegion {  // Qt 5 ABI: one d-pointer; the ctor/dtor come from libQt5Gui, already loaded by
                 // KWin
  public:
    enum RegionType { Rectangle, Ellipse };
    QRegion(int x, int y, int w, int h, RegionType t = Rectangle);
    ~QRegion();

  private:
    void* d;
};
struct QSize {
    int wd, ht;
};  // Qt 5 layout, trivially copyable: returned in a register

namespace KWin {
class GLFramebuffer {
  public:
    static GLFramebuffer* popFramebuffer();
    static void pushFramebuffer(GLFramebuffer* fbo);
};
static GLFramebuffer* s_lastPopped = nullptr;
static bool s_inCast = false;
class Output;
static struct {
    Output* output;
    GLFramebuffer* fbo;
} s_fbos[16];  // output -> its layer's framebuffer

static GLFramebuffer* fboFor(Output* o) {
    for (auto& e : s_fbos)
        if (e.output == o)
            return e.fbo;
    return nullptr;
}
static void setFbo(Output* o, GLFramebuffer* f) {
    for (auto& e : s_fbos)
        if (e.output == o || !e.output) {
            e.output = o;
            e.fbo = f;
            return;
        }
}

GLFramebuffer* GLFramebuffer::popFramebuffer() {
    using Fn = GLFramebuffer* (*)();
    static Fn orig =
        reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_ZN4KWin13GLFramebuffer14popFramebufferEv"));
    GLFramebuffer* f = orig();
    if (!s_inCast && f)
        s_lastPopped = f;
    return f;
}

class GLTexture;
class Output;
class AbstractEglBackend {
  public:
    std::shared_ptr<GLTexture> textureForOutput(Output* output) const;
};

std::shared_ptr<GLTexture> AbstractEglBackend::textureForOutput(Output* output) const {
    using Fn = std::shared_ptr<GLTexture> (*)(const AbstractEglBackend*, Output*);
    static Fn orig = reinterpret_cast<Fn>(
        dlsym(RTLD_NEXT, "_ZNK4KWin18AbstractEglBackend16textureForOutputEPNS_6OutputE"));
    GLFramebuffer* fbo = fboFor(output);
    if (!fbo)
        return nullptr;  // nothing painted yet: the stream skips the frame
    s_inCast = true;
    GLFramebuffer::pushFramebuffer(fbo);
    std::shared_ptr<GLTexture> t = orig(this, output);
    GLFramebuffer::popFramebuffer();
    s_inCast = false;
    return t;
}

class Output {
  public:
    void outputChange(const QRegion& damage);  // the signal (moc-generated, exported)
    QSize pixelSize() const;
};
class Compositor {
  public:
    static Compositor* s_compositor;
    Output* findOutput(class RenderLoop* loop) const;
};
class RenderLoop {
  public:
    void endFrame();
};

void RenderLoop::endFrame() {
    using Fn = void (*)(RenderLoop*);
    static Fn orig = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_ZN4KWin10RenderLoop8endFrameEv"));
    orig(this);
    if (!Compositor::s_compositor || !s_lastPopped)
        return;
    Output* o = Compositor::s_compositor->findOutput(this);
    if (!o)
        return;
    setFbo(o, s_lastPopped);
    s_lastPopped = nullptr;
    const QSize s = o->pixelSize();
    o->outputChange(QRegion(0, 0, s.wd, s.ht));
}
}  // namespace KWin
