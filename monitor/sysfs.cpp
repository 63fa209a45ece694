// SPDX-License-Identifier: MIT
// What the kernel shows of the GPUs in sysfs and /dev/dri: the machine's
// render nodes, which device a DRM node belongs to, the GPU's PCI slot,
// driver and IDs, the width and speed its PCIe link trained to, and every
// display device on the PCI bus, bound to a driver or not. Render node numbers move when a GPU is added or probes
// late; the slot is what a technician can find in the machine.

#include "monitor.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fcntl.h>

static const char drm_class[] = "/sys/class/drm/";

// A sysfs attribute's first line, or none.
static std::optional<std::string> attribute(const std::string &path)
{
    const std::optional<std::string> text = read_text(path, 128);
    if (!text || text->empty())
        return std::nullopt;
    return text->substr(0, text->find('\n'));
}

// The last part of a link's target: a bound driver's name (amdgpu).
static std::string link_name(const std::string &path)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target)
        return "";
    const std::string_view link(target, static_cast<size_t>(length));
    return std::string(link.substr(link.rfind('/') + 1));
}

// The driver that holds a device. A virtio GPU's PCI function is held by
// virtio-pci, a bus driver: the GPU's own (virtio_gpu) holds the virtio
// device beneath it.
static std::string bound_driver(const std::string &device)
{
    std::string driver = link_name(device + "/driver");
    if (driver != "virtio-pci")
        return driver;
    for (const std::string &name : folder_entries(device)) {
        if (!starts_with(name, "virtio"))
            continue;
        if (std::string inner = link_name(std::string(device).append("/").append(name).append("/driver"));
            !inner.empty())
            return inner;
    }
    return driver;
}

std::optional<std::string> node_device(std::string_view node_name)
{
    return real_path(std::string(drm_class).append(node_name).append("/device"));
}

std::vector<std::string> unit_instances(const std::string &node)
{
    const std::optional<std::string> real = real_path(node);
    std::vector<std::string> names;
    const std::string by_path = "/dev/dri/by-path/";
    const std::string_view suffix = "-render";
    for (const std::string &link : folder_entries(by_path)) {
        const std::string_view name = link;
        if (real && name.size() > suffix.size() && name.substr(name.size() - suffix.size()) == suffix &&
            real_path(by_path + link) == real)
            names.emplace_back(name.substr(0, name.size() - suffix.size()));
    }
    const std::string path = real.value_or(node), own = path.substr(path.rfind('/') + 1);
    if (numbered(own, "renderD") || numbered(own, "card"))
        names.push_back(own);
    return names;
}

// The render nodes under /dev/dri, as paths, in minor number order:
// renderD128 before renderD1000 would be, were there one.
std::vector<std::string> find_render_nodes()
{
    std::vector<std::string> paths;
    for (const std::string &name : folder_entries("/dev/dri")) {
        if (numbered(name, "renderD"))
            paths.push_back("/dev/dri/" + name);
    }
    std::sort(paths.begin(), paths.end(), [](const std::string &left, const std::string &right) {
        return left.size() != right.size() ? left.size() < right.size() : left < right;
    });
    return paths;
}

std::vector<std::string> card_render_nodes(const std::string &card)
{
    std::vector<std::string> nodes;
    for (const std::string &name : folder_entries(std::string(drm_class) + card + "/device/drm")) {
        if (numbered(name, "renderD"))
            nodes.push_back("/dev/dri/" + name);
    }
    return nodes;
}

bool pci_address(std::string_view name)
{
    static const std::string_view shape = "hhhh:hh:hh.h";
    if (name.size() != shape.size())
        return false;
    for (size_t at = 0; at < shape.size(); ++at) {
        const bool hex = std::isxdigit(static_cast<unsigned char>(name[at])) != 0;
        if (shape[at] == 'h' ? !hex : name[at] != shape[at])
            return false;
    }
    return true;
}

static std::string base_name(std::string_view path)
{
    return std::string(path.substr(path.rfind('/') + 1));
}

// Link speeds as the kernel writes them: "16.0 GT/s PCIe", in GT/s.
static double link_speed(const std::optional<std::string> &text)
{
    double speed = 0;
    if (text)
        (void)std::from_chars(text->data(), text->data() + text->size(), speed);
    return speed;
}

static int link_width(const std::optional<std::string> &text)
{
    return static_cast<int>(decimal_number(text.value_or("")).value_or(0));
}

// The link between a PCI device and the port above it: what it trained
// to, and the most that both of its ends support. Devices on the root
// complex itself (most integrated GPUs) have no such link.
static std::optional<pcie_link> read_link(const std::string &device)
{
    pcie_link link;
    link.width = link_width(attribute(device + "/current_link_width"));
    link.max_width = link_width(attribute(device + "/max_link_width"));
    link.speed = link_speed(attribute(device + "/current_link_speed"));
    link.max_speed = link_speed(attribute(device + "/max_link_speed"));
    if (link.max_width <= 0)
        return std::nullopt;
    const std::string port = device.substr(0, device.rfind('/'));
    if (pci_address(base_name(port))) {
        const int port_width = link_width(attribute(port + "/max_link_width"));
        const double port_speed = link_speed(attribute(port + "/max_link_speed"));
        if (port_width > 0)
            link.max_width = std::min(link.max_width, port_width);
        if (port_speed > 0)
            link.max_speed = std::min(link.max_speed, port_speed);
    }
    return link;
}

// The PCI device's own facts: its IDs, its bound driver and its link.
static void describe_pci(const std::string &device, gpu_identity &gpu)
{
    gpu.pci_address = base_name(device);
    gpu.vendor = attribute(device + "/vendor").value_or("");
    gpu.device = attribute(device + "/device").value_or("");
    gpu.link = read_link(device);
}

// The device folder of a node, given the node's own path: that of a node
// outside /dev/dri is not looked for.
static std::optional<std::string> device_folder(const std::string &real_node)
{
    return starts_with(real_node, "/dev/dri/") ? node_device(base_name(real_node)) : std::nullopt;
}

// The nearest PCI device at or above a device folder: the GPU itself, or
// none (vgem).
static std::optional<std::string> pci_device_above(const std::string &device)
{
    for (std::string path = device; starts_with(path, "/sys/devices/"); path.resize(path.rfind('/'))) {
        if (pci_address(base_name(path)))
            return path;
    }
    return std::nullopt;
}

std::optional<gpu_identity> identify(const std::string &node_path)
{
    // The node's own name, whatever path leads to it (/dev/dri/by-path/...).
    const std::string real = real_path(node_path).value_or("");
    const std::optional<std::string> device = device_folder(real);
    if (!device)
        return std::nullopt;
    gpu_identity gpu;
    gpu.node = real;
    gpu.driver = bound_driver(*device);
    if (const std::optional<std::string> pci = pci_device_above(*device))
        describe_pci(*pci, gpu);
    return gpu;
}

std::vector<gpu_identity> displays_without_node()
{
    // The slots of the render nodes' GPUs: those whose node is here, and
    // those whose node the kernel has but /dev/dri lacks. A container given
    // some of the nodes was not given those GPUs; one given none (no
    // /dev/dri) reaches its GPUs through EGL's devices and Vulkan alone,
    // as a machine without DRM nodes does.
    std::vector<std::string> rendering, not_given;
    for (const std::string &name : folder_entries(drm_class)) {
        if (!numbered(name, "renderD"))
            continue;
        const std::optional<std::string> here = device_folder(real_path("/dev/dri/" + name).value_or(""));
        const std::optional<std::string> device = here ? here : node_device(name);
        if (const std::optional<std::string> pci = device ? pci_device_above(*device) : std::nullopt)
            (here ? rendering : not_given).push_back(base_name(*pci));
    }
    if (!rendering.empty())
        rendering.insert(rendering.end(), not_given.begin(), not_given.end());
    std::vector<gpu_identity> displays;
    const std::string bus = "/sys/bus/pci/devices/";
    for (const std::string &address : folder_entries(bus)) {
        // Class 0x03xxxx: VGA, XGA, 3D and other display controllers.
        if (!pci_address(address) || !starts_with(attribute(bus + address + "/class").value_or(""), "0x03") ||
            std::find(rendering.begin(), rendering.end(), address) != rendering.end())
            continue;
        // Through the device's own folder, where the port above it is.
        const std::string device = real_path(bus + address).value_or(bus + address);
        gpu_identity gpu;
        describe_pci(device, gpu);
        gpu.pci_address = address;
        gpu.driver = bound_driver(device);
        displays.push_back(std::move(gpu));
    }
    return displays;
}

// The display of a server's management controller (ASPEED's, Matrox's
// G200 family): no GPU for workloads.
bool management_display(const gpu_identity &gpu)
{
    return gpu.vendor == "0x1a03" || gpu.vendor == "0x102b";
}

std::string driver_text(const gpu_identity &gpu)
{
    return gpu.driver.empty() ? "no driver" : gpu.driver;
}

std::string identity_text(const gpu_identity &gpu)
{
    return " (" + (gpu.pci_address.empty() ? std::string("no PCI device") : gpu.pci_address) + ", " +
           driver_text(gpu) + ")";
}

bool link_degraded(const pcie_link &link)
{
    return link.width < link.max_width;
}
