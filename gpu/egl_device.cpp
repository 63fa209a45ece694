// SPDX-License-Identifier: MIT
// kalpex-egl-device's display: one of the devices EGL lists
// (EGL_EXT_device_enumeration), on EGL's device platform, as headless
// workloads on data-centre GPUs start. It needs no DRM node: NVIDIA's driver
// lists its GPUs whether or not nvidia-drm is loaded.
#include "gpu.h"

#include "../app/report.h"

#include <EGL/eglext.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// More than any machine holds; the list is cut there.
static const EGLint most_devices = 64;

static bool has_extension(const char *extensions, const char *name)
{
    const size_t length = std::strlen(name);
    for (const char *at = extensions; at && (at = std::strstr(at, name)); at += length) {
        if ((at == extensions || at[-1] == ' ') && (at[length] == ' ' || at[length] == '\0'))
            return true;
    }
    return false;
}

// The device behind a character device node: its sysfs folder, resolved,
// so that a render node and its card's primary node are the same GPU.
static bool sysfs_device(dev_t number, char (&folder)[PATH_MAX])
{
    char link[64];
    (void)std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/device", major(number), minor(number));
    return realpath(link, folder) != nullptr;
}

static bool same_gpu(const char *file, const struct stat &asked, const char *asked_folder)
{
    struct stat status {
    };
    if (!file || stat(file, &status) != 0 || !S_ISCHR(status.st_mode))
        return false;
    if (status.st_rdev == asked.st_rdev)
        return true;
    char folder[PATH_MAX];
    return asked_folder[0] && sysfs_device(status.st_rdev, folder) && std::strcmp(folder, asked_folder) == 0;
}

// An index into EGL's list: decimal digits alone.
static bool device_index(const char *text, EGLint &index)
{
    if (!*text || std::strlen(text) > 6 || std::strspn(text, "0123456789") != std::strlen(text))
        return false;
    index = static_cast<EGLint>(std::strtol(text, nullptr, 10));
    return true;
}

// Nothing acquired is released on failure: the process end does that.
int open_device_display(const char *device, gpu_handles &handles, egl_device_facts &facts)
{
    // A node that is not there is said as kalpex says it, before EGL loads.
    EGLint wanted_index = -1;
    struct stat asked {
    };
    char asked_folder[PATH_MAX] = "";
    if (device && !device_index(device, wanted_index)) {
        if (stat(device, &asked) != 0 || !S_ISCHR(asked.st_mode)) {
            report_open_failure(device);
            return 1;
        }
        if (!sysfs_device(asked.st_rdev, asked_folder))
            asked_folder[0] = '\0';
    }

    // The client extensions, read first: with libglvnd, eglGetProcAddress
    // answers for any name.
    const char *client_extensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    const auto query_devices =
        reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    const auto query_device_string =
        reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(eglGetProcAddress("eglQueryDeviceStringEXT"));
    const auto get_platform_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    if (!has_extension(client_extensions, "EGL_EXT_device_enumeration") &&
        !has_extension(client_extensions, "EGL_EXT_device_base"))
        return fail("EGL_EXT_device_enumeration missing");
    if (!has_extension(client_extensions, "EGL_EXT_platform_device"))
        return fail("EGL_EXT_platform_device missing");
    if (!query_devices || !query_device_string || !get_platform_display)
        return fail("eglQueryDevicesEXT missing");

    EGLDeviceEXT devices[most_devices];
    EGLint count = 0;
    if (!query_devices(most_devices, devices, &count))
        return fail("eglQueryDevicesEXT");
    if (count < 1)
        return fail("no EGL device");

    EGLint chosen = -1, software_device = -1;
    const char *chosen_extensions = nullptr;
    for (EGLint i = 0; i < count && chosen < 0; ++i) {
        const char *extensions = query_device_string(devices[i], EGL_EXTENSIONS);
        const bool software = has_extension(extensions, "EGL_MESA_device_software");
        if (software && software_device < 0)
            software_device = i;
        const char *primary = has_extension(extensions, "EGL_EXT_device_drm")
                                  ? query_device_string(devices[i], EGL_DRM_DEVICE_FILE_EXT)
                                  : nullptr;
        const char *render = has_extension(extensions, "EGL_EXT_device_drm_render_node")
                                 ? query_device_string(devices[i], EGL_DRM_RENDER_NODE_FILE_EXT)
                                 : nullptr;
        const bool matches = !device                ? !software
                             : wanted_index >= 0    ? i == wanted_index
                                                    : same_gpu(render, asked, asked_folder) ||
                                                       same_gpu(primary, asked, asked_folder);
        if (matches) {
            chosen = i;
            chosen_extensions = extensions;
            facts.software = software;
            facts.node_path = device && wanted_index < 0 ? device : render ? render : primary;
        }
    }
    // Where no GPU listed is the one asked for (or with no DEVICE, none is
    // listed), Mesa's software device answers in its place, as llvmpipe
    // does for kalpex: the verdict says so. Without DEVICE and without it,
    // the first device.
    if (chosen < 0 && (software_device >= 0 || !device)) {
        chosen = software_device >= 0 ? software_device : 0;
        chosen_extensions = query_device_string(devices[chosen], EGL_EXTENSIONS);
        facts.software = has_extension(chosen_extensions, "EGL_MESA_device_software");
    }
    if (chosen < 0) {
        char stage[PATH_MAX + 32];
        (void)std::snprintf(stage, sizeof stage, "no EGL device for %s", device);
        return fail(stage);
    }
    report_egl_device(chosen, count, chosen_extensions ? chosen_extensions : "(null)");

    handles.display = get_platform_display(EGL_PLATFORM_DEVICE_EXT, devices[chosen], nullptr);
    if (handles.display == EGL_NO_DISPLAY)
        return fail("eglGetPlatformDisplay(DEVICE)");
    return 0;
}
