// SPDX-License-Identifier: MIT
// A stand-in GPU driver stack for the tests: built three times, as libgbm.so.1,
// libEGL.so.1 and libGLESv2.so.2, and found first through LD_LIBRARY_PATH.
// It answers every call kalpex makes, steered by STANDIN_* variables, and
// appends one line per call to the file named by STANDIN_TRACE.
//   STANDIN_FAIL      the call that fails (eglChooseConfig:none returns true
//                     with no config; glCheckFramebufferStatus is incomplete)
//   STANDIN_EGL_ERROR what eglGetError returns (default 0x3000)
//   STANDIN_RENDERER  GL_RENDERER, STANDIN_VERSION GL_VERSION; NULL for none
//   STANDIN_PIXEL     rrggbbaa for glReadPixels, or "none" to write nothing
//   STANDIN_HANG      the call that never returns, STANDIN_CRASH the call that
//                     dies of SIGSEGV: a driver gone wrong
//   STANDIN_STALL     the call that first reads STANDIN_STALL_PATH with
//                     O_DIRECT: on a suspended device-mapper device, a driver
//                     stuck in the kernel, where no signal reaches it
//   STANDIN_ONLY_ON   the node the switches above apply to; others work
// EGL's device platform, for kalpex-egl-device: device 0 is Mesa's software
// device, device 1 a GPU with the DRM files STANDIN_DRM_FILE (primary) and
// STANDIN_RENDER_FILE (render node), each offered only when set.
//   STANDIN_DEVICES           how many devices are listed (default 2), or
//                             "gpu": the GPU alone
//   STANDIN_CLIENT_EXTENSIONS EGL's client extensions

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

[[maybe_unused]] static void trace(const char *format, ...)
{
    const char *path = getenv("STANDIN_TRACE");
    FILE *file = path ? fopen(path, "a") : nullptr;
    if (!file)
        return;
    va_list values;
    va_start(values, format);
    vfprintf(file, format, values);
    va_end(values);
    fputc('\n', file);
    fclose(file);
}

static bool named_by(const char *variable, const char *call)
{
    const char *named = getenv(variable);
    return named && strcmp(named, call) == 0;
}

// A read the kernel cannot finish while the device is suspended; the
// process sleeps uninterruptibly until it is resumed.
[[maybe_unused]] static void stall()
{
    const char *path = getenv("STANDIN_STALL_PATH");
    const int fd = path ? open(path, O_RDONLY | O_DIRECT) : -1;
    void *block = nullptr;
    if (fd >= 0 && posix_memalign(&block, 4096, 4096) == 0)
        (void)!read(fd, block, 4096);
    free(block);
}

[[maybe_unused]] static bool fails(const char *call)
{
    // The node kalpex opened last is the one it checks (see open below).
    const char *only_on = getenv("STANDIN_ONLY_ON");
    const char *node = getenv("STANDIN_NODE");
    if (only_on && (!node || strcmp(only_on, node) != 0))
        return false;
    if (named_by("STANDIN_STALL", call))
        stall();
    while (named_by("STANDIN_HANG", call))
        pause();
    if (named_by("STANDIN_CRASH", call))
        raise(SIGSEGV);
    return named_by("STANDIN_FAIL", call);
}

// Each handle points at its own name, so whichever library receives it can
// trace what it is.
[[maybe_unused]] static char device_name[] = "device";

#ifdef STANDIN_GBM
#include <gbm.h>

extern "C" gbm_device *gbm_create_device(int fd)
{
    trace("gbm_create_device %d", fd);
    return fails("gbm_create_device") ? nullptr : reinterpret_cast<gbm_device *>(device_name);
}

extern "C" void gbm_device_destroy(gbm_device *device)
{
    trace("gbm_device_destroy %s", device ? reinterpret_cast<const char *>(device) : "none");
}

// Interpose the C library's open and close, so the trace shows which nodes
// kalpex tries, with which flags, and when the node goes.
extern "C" int open(const char *path, int flags, ...)
{
    int mode = 0;
    if (flags & O_CREAT) {
        va_list values;
        va_start(values, flags);
        mode = va_arg(values, int);
        va_end(values);
    }
    trace("open %s 0x%x", path, static_cast<unsigned>(flags));
    setenv("STANDIN_NODE", path, 1);
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

extern "C" int close(int fd)
{
    trace("close %d", fd);
    return static_cast<int>(syscall(SYS_close, fd));
}
#endif

#ifdef STANDIN_EGL
#include <EGL/egl.h>
#include <EGL/eglext.h>

static char display_name[] = "display", config_name[] = "config", context_name[] = "context";

static const char *handle_name(const void *handle)
{
    return handle ? static_cast<const char *>(handle) : "none";
}

// Attribute lists are traced as pairs up to and including EGL_NONE.
static void trace_attribs(const char *call, const EGLint *attribs)
{
    char text[256] = " null";
    for (size_t i = 0, used = 0; attribs && used < sizeof text - 32; i += 2) {
        used += snprintf(text + used, sizeof text - used, " 0x%x", static_cast<unsigned>(attribs[i]));
        if (attribs[i] == EGL_NONE)
            break;
        used += snprintf(text + used, sizeof text - used, " %d", attribs[i + 1]);
    }
    trace("%s%s", call, text);
}

static EGLDisplay EGLAPIENTRY get_platform_display(EGLenum platform, void *native, const EGLint *attribs)
{
    trace("eglGetPlatformDisplayEXT 0x%x %s %s", platform, handle_name(native), attribs ? "attribs" : "null");
    return fails("eglGetPlatformDisplayEXT") ? EGL_NO_DISPLAY : display_name;
}

static char software_device[] = "software-device", gpu_device[] = "gpu-device";

static EGLBoolean EGLAPIENTRY query_devices(EGLint most, EGLDeviceEXT *devices, EGLint *count)
{
    trace("eglQueryDevicesEXT %d", most);
    if (fails("eglQueryDevicesEXT"))
        return EGL_FALSE;
    const char *listed = getenv("STANDIN_DEVICES");
    const bool gpu_only = listed && strcmp(listed, "gpu") == 0;
    *count = gpu_only ? 1 : listed ? atoi(listed) : 2;
    EGLDeviceEXT all[] = {software_device, gpu_device};
    for (EGLint i = 0; i < *count && i < most && i < 2; ++i)
        devices[i] = all[i + (gpu_only ? 1 : 0)];
    return EGL_TRUE;
}

static const char *EGLAPIENTRY query_device_string(EGLDeviceEXT device, EGLint name)
{
    trace("eglQueryDeviceStringEXT %s 0x%x", handle_name(device), static_cast<unsigned>(name));
    const bool gpu = device == gpu_device;
    const char *primary = getenv("STANDIN_DRM_FILE"), *render = getenv("STANDIN_RENDER_FILE");
    if (name == EGL_EXTENSIONS && !gpu)
        return "EGL_MESA_device_software";
    if (name == EGL_EXTENSIONS)
        return primary && render ? "EGL_EXT_device_drm EGL_EXT_device_drm_render_node"
               : primary         ? "EGL_EXT_device_drm"
               : render          ? "EGL_EXT_device_drm_render_node"
                                 : "";
    if (gpu && name == EGL_DRM_DEVICE_FILE_EXT)
        return primary;
    if (gpu && name == EGL_DRM_RENDER_NODE_FILE_EXT)
        return render;
    return nullptr;
}

extern "C" const char *eglQueryString(EGLDisplay display, EGLint name)
{
    trace("eglQueryString %s 0x%x", handle_name(display), static_cast<unsigned>(name));
    const char *extensions = getenv("STANDIN_CLIENT_EXTENSIONS");
    if (display != EGL_NO_DISPLAY || name != EGL_EXTENSIONS)
        return nullptr;
    return extensions ? extensions : "EGL_EXT_device_enumeration EGL_EXT_platform_base EGL_EXT_platform_device";
}

extern "C" __eglMustCastToProperFunctionPointerType eglGetProcAddress(const char *name)
{
    trace("eglGetProcAddress %s", name);
    if (fails("eglGetProcAddress"))
        return nullptr;
    if (strcmp(name, "eglQueryDevicesEXT") == 0)
        return reinterpret_cast<__eglMustCastToProperFunctionPointerType>(query_devices);
    if (strcmp(name, "eglQueryDeviceStringEXT") == 0)
        return reinterpret_cast<__eglMustCastToProperFunctionPointerType>(query_device_string);
    if (strcmp(name, "eglGetPlatformDisplayEXT") != 0)
        return nullptr;
    return reinterpret_cast<__eglMustCastToProperFunctionPointerType>(get_platform_display);
}

extern "C" EGLBoolean eglInitialize(EGLDisplay display, EGLint *major, EGLint *minor)
{
    trace("eglInitialize %s", handle_name(display));
    if (fails("eglInitialize"))
        return EGL_FALSE;
    *major = 1;
    *minor = 5;
    return EGL_TRUE;
}

extern "C" EGLBoolean eglBindAPI(EGLenum api)
{
    trace("eglBindAPI 0x%x", api);
    return !fails("eglBindAPI");
}

extern "C" EGLBoolean eglChooseConfig(EGLDisplay display, const EGLint *attribs, EGLConfig *configs,
                                      EGLint config_size, EGLint *count)
{
    char call[96];
    snprintf(call, sizeof call, "eglChooseConfig %s size=%d count=%d attribs", handle_name(display),
             config_size, *count);
    trace_attribs(call, attribs);
    if (fails("eglChooseConfig"))
        return EGL_FALSE;
    if (fails("eglChooseConfig:none"))
        return EGL_TRUE;
    configs[0] = config_name;
    *count = 1;
    return EGL_TRUE;
}

extern "C" EGLContext eglCreateContext(EGLDisplay display, EGLConfig config, EGLContext share,
                                       const EGLint *attribs)
{
    char call[96];
    snprintf(call, sizeof call, "eglCreateContext %s %s share=%s attribs", handle_name(display),
             handle_name(config), handle_name(share));
    trace_attribs(call, attribs);
    return fails("eglCreateContext") ? EGL_NO_CONTEXT : context_name;
}

extern "C" EGLBoolean eglMakeCurrent(EGLDisplay display, EGLSurface draw, EGLSurface read, EGLContext context)
{
    trace("eglMakeCurrent %s %s %s %s", handle_name(display), handle_name(draw), handle_name(read),
          handle_name(context));
    return !(context && fails("eglMakeCurrent"));
}

extern "C" EGLBoolean eglDestroyContext(EGLDisplay display, EGLContext context)
{
    trace("eglDestroyContext %s %s", handle_name(display), handle_name(context));
    return EGL_TRUE;
}

extern "C" EGLBoolean eglTerminate(EGLDisplay display)
{
    trace("eglTerminate %s", handle_name(display));
    return EGL_TRUE;
}

extern "C" EGLint eglGetError(void)
{
    trace("eglGetError");
    const char *code = getenv("STANDIN_EGL_ERROR");
    return code ? static_cast<EGLint>(strtol(code, nullptr, 0)) : EGL_SUCCESS;
}
#endif

#ifdef STANDIN_GLESV2
#include <GLES2/gl2.h>

static const GLubyte *gl_string(const char *variable, const char *fallback)
{
    const char *text = getenv(variable);
    if (!text)
        text = fallback;
    return strcmp(text, "NULL") == 0 ? nullptr : reinterpret_cast<const GLubyte *>(text);
}

extern "C" const GLubyte *glGetString(GLenum name)
{
    trace("glGetString 0x%x", name);
    if (name == GL_RENDERER)
        return gl_string("STANDIN_RENDERER", "Stand-in GPU");
    return name == GL_VERSION ? gl_string("STANDIN_VERSION", "OpenGL ES 2.0 stand-in") : nullptr;
}

extern "C" void glGenFramebuffers(GLsizei n, GLuint *names)
{
    trace("glGenFramebuffers %d", n);
    names[0] = 7;
}

extern "C" void glBindFramebuffer(GLenum target, GLuint name)
{
    trace("glBindFramebuffer 0x%x %u", target, name);
}

extern "C" void glGenRenderbuffers(GLsizei n, GLuint *names)
{
    trace("glGenRenderbuffers %d", n);
    names[0] = 9;
}

extern "C" void glBindRenderbuffer(GLenum target, GLuint name)
{
    trace("glBindRenderbuffer 0x%x %u", target, name);
}

extern "C" void glRenderbufferStorage(GLenum target, GLenum format, GLsizei width, GLsizei height)
{
    trace("glRenderbufferStorage 0x%x 0x%x %d %d", target, format, width, height);
}

extern "C" void glFramebufferRenderbuffer(GLenum target, GLenum attachment, GLenum rb_target, GLuint name)
{
    trace("glFramebufferRenderbuffer 0x%x 0x%x 0x%x %u", target, attachment, rb_target, name);
}

extern "C" GLenum glCheckFramebufferStatus(GLenum target)
{
    trace("glCheckFramebufferStatus 0x%x", target);
    return fails("glCheckFramebufferStatus") ? GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT : GL_FRAMEBUFFER_COMPLETE;
}

extern "C" void glViewport(GLint x, GLint y, GLsizei width, GLsizei height)
{
    trace("glViewport %d %d %d %d", x, y, width, height);
}

extern "C" void glClearColor(GLfloat red, GLfloat green, GLfloat blue, GLfloat alpha)
{
    trace("glClearColor %g %g %g %g", red, green, blue, alpha);
}

extern "C" void glClear(GLbitfield mask)
{
    trace("glClear 0x%x", mask);
}

extern "C" void glFinish(void)
{
    trace("glFinish");
}

extern "C" void glReadPixels(GLint x, GLint y, GLsizei width, GLsizei height, GLenum format, GLenum type,
                             void *pixels)
{
    trace("glReadPixels %d %d %d %d 0x%x 0x%x", x, y, width, height, format, type);
    const char *pixel = getenv("STANDIN_PIXEL");
    if (!pixel)
        pixel = "ff00ffff";
    if (strcmp(pixel, "none") == 0)
        return;
    const unsigned long rgba = strtoul(pixel, nullptr, 16);
    auto *bytes = static_cast<unsigned char *>(pixels);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(rgba >> (24 - 8 * i));
}
#endif
