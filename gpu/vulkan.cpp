// SPDX-License-Identifier: MIT
// The Vulkan probe's stages, in the order they run. A failed stage ends the
// run at once with its line; the process end releases what it made.
#include "vulkan.h"

#include "../app/lines.h"
#include "../app/report.h"
#include "pixel.h"

#include <cstdio>
#include <cstring>

// The most physical devices looked at: more than any machine has.
static const uint32_t most_devices = 32;

static const char *result_name(VkResult result)
{
    switch (result) {
    case VK_SUCCESS: return "VK_SUCCESS";
    case VK_NOT_READY: return "VK_NOT_READY";
    case VK_TIMEOUT: return "VK_TIMEOUT";
    case VK_INCOMPLETE: return "VK_INCOMPLETE";
    case VK_ERROR_OUT_OF_HOST_MEMORY: return "VK_ERROR_OUT_OF_HOST_MEMORY";
    case VK_ERROR_OUT_OF_DEVICE_MEMORY: return "VK_ERROR_OUT_OF_DEVICE_MEMORY";
    case VK_ERROR_INITIALIZATION_FAILED: return "VK_ERROR_INITIALIZATION_FAILED";
    case VK_ERROR_DEVICE_LOST: return "VK_ERROR_DEVICE_LOST";
    case VK_ERROR_MEMORY_MAP_FAILED: return "VK_ERROR_MEMORY_MAP_FAILED";
    case VK_ERROR_LAYER_NOT_PRESENT: return "VK_ERROR_LAYER_NOT_PRESENT";
    case VK_ERROR_EXTENSION_NOT_PRESENT: return "VK_ERROR_EXTENSION_NOT_PRESENT";
    case VK_ERROR_FEATURE_NOT_PRESENT: return "VK_ERROR_FEATURE_NOT_PRESENT";
    case VK_ERROR_INCOMPATIBLE_DRIVER: return "VK_ERROR_INCOMPATIBLE_DRIVER";
    case VK_ERROR_TOO_MANY_OBJECTS: return "VK_ERROR_TOO_MANY_OBJECTS";
    case VK_ERROR_FORMAT_NOT_SUPPORTED: return "VK_ERROR_FORMAT_NOT_SUPPORTED";
    case VK_ERROR_UNKNOWN: return "VK_ERROR_UNKNOWN";
    default: break;
    }
    return "VkResult unknown to this build";
}

// A call's failure line, where it failed.
static int checked(const char *call, VkResult result)
{
    return result == VK_SUCCESS ? 0 : fail_call(call, result_name(result));
}

int create_instance(vulkan_handles &handles)
{
    VkApplicationInfo application{};
    application.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    application.pApplicationName = "kalpex-vulkan";
    application.apiVersion = VK_API_VERSION_1_1;
    VkInstanceCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    info.pApplicationInfo = &application;
    return checked("vkCreateInstance", vkCreateInstance(&info, nullptr, &handles.instance));
}

static bool has_extension(VkPhysicalDevice device, const char *name)
{
    VkExtensionProperties extensions[256];
    uint32_t count = 256;
    const VkResult result = vkEnumerateDeviceExtensionProperties(device, nullptr, &count, extensions);
    if (result != VK_SUCCESS && result != VK_INCOMPLETE)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        if (std::strcmp(extensions[i].extensionName, name) == 0)
            return true;
    }
    return false;
}

// The device's DRM nodes and PCI slot, where it offers the extensions that
// tell them.
struct device_place {
    VkPhysicalDeviceDrmPropertiesEXT drm{};
    VkPhysicalDevicePCIBusInfoPropertiesEXT pci{};
    bool has_drm = false, has_pci = false;
};

static device_place place_of(VkPhysicalDevice device)
{
    device_place place;
    place.drm.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DRM_PROPERTIES_EXT;
    place.pci.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PCI_BUS_INFO_PROPERTIES_EXT;
    place.has_drm = has_extension(device, VK_EXT_PHYSICAL_DEVICE_DRM_EXTENSION_NAME);
    place.has_pci = has_extension(device, VK_EXT_PCI_BUS_INFO_EXTENSION_NAME);
    VkPhysicalDeviceProperties2 properties{};
    properties.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2;
    if (place.has_drm) {
        place.drm.pNext = properties.pNext;
        properties.pNext = &place.drm;
    }
    if (place.has_pci) {
        place.pci.pNext = properties.pNext;
        properties.pNext = &place.pci;
    }
    if (properties.pNext)
        vkGetPhysicalDeviceProperties2(device, &properties);
    return place;
}

static bool same_slot(const device_place &place, const device_choice &choice)
{
    return place.has_pci && place.pci.pciDomain == choice.domain && place.pci.pciBus == choice.bus &&
           place.pci.pciDevice == choice.device && place.pci.pciFunction == choice.function;
}

static bool is_node(const device_place &place, const device_choice &choice)
{
    const VkPhysicalDeviceDrmPropertiesEXT &drm = place.drm;
    return place.has_drm && ((drm.hasRender && drm.renderMajor == choice.node_major &&
                              drm.renderMinor == choice.node_minor) ||
                             (drm.hasPrimary && drm.primaryMajor == choice.node_major &&
                              drm.primaryMinor == choice.node_minor));
}

static bool cpu_device(VkPhysicalDevice device)
{
    VkPhysicalDeviceProperties properties{};
    vkGetPhysicalDeviceProperties(device, &properties);
    return properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
}

// The device asked for, by its node (its DRM numbers, else the node's PCI
// slot) or its slot; with none asked for, the first that is not a CPU
// implementation, else a CPU one, which answers as the software fallback.
int choose_device(const device_choice &choice, vulkan_handles &handles)
{
    VkPhysicalDevice devices[most_devices];
    uint32_t count = most_devices;
    const VkResult result = vkEnumeratePhysicalDevices(handles.instance, &count, devices);
    // The loader answers a machine whose drivers found no device with
    // VK_ERROR_INITIALIZATION_FAILED: the line says what that means.
    if (result == VK_ERROR_INITIALIZATION_FAILED || (result == VK_SUCCESS && count == 0))
        return fail_call("no Vulkan device", "vkEnumeratePhysicalDevices: VK_ERROR_INITIALIZATION_FAILED");
    if (result != VK_SUCCESS && result != VK_INCOMPLETE)
        return checked("vkEnumeratePhysicalDevices", result);
    for (uint32_t i = 0; i < count && !handles.physical; ++i) {
        const device_place place = choice.by_node || choice.by_slot ? place_of(devices[i]) : device_place{};
        if (choice.by_node ? is_node(place, choice) || (choice.node_slot_known && same_slot(place, choice))
            : choice.by_slot ? same_slot(place, choice)
                             : !cpu_device(devices[i]))
            handles.physical = devices[i];
    }
    // A CPU implementation stands in for the GPU asked for, or for none:
    // the GPU is not in use, and the verdict says so.
    for (uint32_t i = 0; i < count && !handles.physical; ++i) {
        if (cpu_device(devices[i]))
            handles.physical = devices[i];
    }
    if (!handles.physical)
        return fail_call("vkEnumeratePhysicalDevices", "no Vulkan device for the GPU asked for");
    return 0;
}

static const char *type_name(VkPhysicalDeviceType type)
{
    switch (type) {
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU: return "integrated GPU";
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU: return "discrete GPU";
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU: return "virtual GPU";
    case VK_PHYSICAL_DEVICE_TYPE_CPU: return "CPU";
    default: break;
    }
    return "other";
}

// Read once: the device's name names it in every failure line after.
static VkPhysicalDeviceProperties chosen{};

void identify_device(const vulkan_handles &handles)
{
    VkPhysicalDeviceDriverProperties driver{};
    driver.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DRIVER_PROPERTIES;
    VkPhysicalDeviceProperties2 properties{};
    properties.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2;
    const bool has_driver = has_extension(handles.physical, VK_KHR_DRIVER_PROPERTIES_EXTENSION_NAME);
    if (has_driver)
        properties.pNext = &driver;
    vkGetPhysicalDeviceProperties2(handles.physical, &properties);
    chosen = properties.properties;
    renderer = chosen.deviceName;

    char driver_text[VK_MAX_DRIVER_NAME_SIZE + VK_MAX_DRIVER_INFO_SIZE + 4] = "(not said)";
    if (has_driver)
        (void)std::snprintf(driver_text, sizeof driver_text, "%s (%s)", driver.driverName, driver.driverInfo);
    char api[32];
    (void)std::snprintf(api, sizeof api, "%u.%u.%u", VK_API_VERSION_MAJOR(chosen.apiVersion),
                        VK_API_VERSION_MINOR(chosen.apiVersion), VK_API_VERSION_PATCH(chosen.apiVersion));
    const device_place place = place_of(handles.physical);
    char slot[16];
    if (place.has_pci)
        (void)std::snprintf(slot, sizeof slot, "%04x:%02x:%02x.%x", place.pci.pciDomain, place.pci.pciBus,
                            place.pci.pciDevice, place.pci.pciFunction);
    report_vulkan_device(chosen.deviceName, type_name(chosen.deviceType), driver_text, api,
                         place.has_pci ? slot : nullptr);
}

int create_device(vulkan_handles &handles)
{
    VkQueueFamilyProperties families[64];
    uint32_t count = 64;
    vkGetPhysicalDeviceQueueFamilyProperties(handles.physical, &count, families);
    uint32_t family = count;
    for (uint32_t i = 0; i < count && family == count; ++i) {
        if (families[i].queueFlags & VK_QUEUE_GRAPHICS_BIT)
            family = i;
    }
    if (family == count)
        return fail_vulkan("no graphics queue");
    handles.queue_family = family;
    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queue{};
    queue.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
    queue.queueFamilyIndex = family;
    queue.queueCount = 1;
    queue.pQueuePriorities = &priority;
    VkDeviceCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
    info.queueCreateInfoCount = 1;
    info.pQueueCreateInfos = &queue;
    if (int status = checked("vkCreateDevice", vkCreateDevice(handles.physical, &info, nullptr, &handles.device)))
        return status;
    vkGetDeviceQueue(handles.device, family, 0, &handles.queue);
    return 0;
}

// Memory of a type the resource allows that has these properties.
static int allocate(const vulkan_handles &handles, const VkMemoryRequirements &needs, VkMemoryPropertyFlags wanted,
                    VkDeviceMemory &memory)
{
    VkPhysicalDeviceMemoryProperties types{};
    vkGetPhysicalDeviceMemoryProperties(handles.physical, &types);
    uint32_t type = types.memoryTypeCount;
    for (uint32_t i = 0; i < types.memoryTypeCount && type == types.memoryTypeCount; ++i) {
        if ((needs.memoryTypeBits & (1u << i)) && (types.memoryTypes[i].propertyFlags & wanted) == wanted)
            type = i;
    }
    if (type == types.memoryTypeCount)
        return fail_vulkan(wanted & VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT ? "no host-visible memory"
                                                                          : "no memory for the image");
    VkMemoryAllocateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
    info.allocationSize = needs.size;
    info.memoryTypeIndex = type;
    return checked("vkAllocateMemory", vkAllocateMemory(handles.device, &info, nullptr, &memory));
}

// RGBA8 is the colour format every Vulkan device must render to.
static const VkFormat colour_format = VK_FORMAT_R8G8B8A8_UNORM;
static const VkDeviceSize buffer_bytes = static_cast<VkDeviceSize>(buffer_size) * buffer_size * 4;

// The image, its view, a render pass that clears it, its framebuffer, and
// the buffer it is copied to.
int create_target(vulkan_handles &handles)
{
    VkImageCreateInfo image{};
    image.sType = VK_STRUCTURE_TYPE_IMAGE_CREATE_INFO;
    image.imageType = VK_IMAGE_TYPE_2D;
    image.format = colour_format;
    image.extent = {buffer_size, buffer_size, 1};
    image.mipLevels = image.arrayLayers = 1;
    image.samples = VK_SAMPLE_COUNT_1_BIT;
    image.tiling = VK_IMAGE_TILING_OPTIMAL;
    image.usage = VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT | VK_IMAGE_USAGE_TRANSFER_SRC_BIT;
    image.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    if (int status = checked("vkCreateImage", vkCreateImage(handles.device, &image, nullptr, &handles.image)))
        return status;
    VkMemoryRequirements needs{};
    vkGetImageMemoryRequirements(handles.device, handles.image, &needs);
    if (int status = allocate(handles, needs, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, handles.image_memory))
        return status;
    if (int status = checked("vkBindImageMemory",
                             vkBindImageMemory(handles.device, handles.image, handles.image_memory, 0)))
        return status;

    VkImageViewCreateInfo view{};
    view.sType = VK_STRUCTURE_TYPE_IMAGE_VIEW_CREATE_INFO;
    view.image = handles.image;
    view.viewType = VK_IMAGE_VIEW_TYPE_2D;
    view.format = colour_format;
    view.subresourceRange = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 1, 0, 1};
    if (int status = checked("vkCreateImageView", vkCreateImageView(handles.device, &view, nullptr, &handles.view)))
        return status;

    VkAttachmentDescription attachment{};
    attachment.format = colour_format;
    attachment.samples = VK_SAMPLE_COUNT_1_BIT;
    attachment.loadOp = VK_ATTACHMENT_LOAD_OP_CLEAR;
    attachment.storeOp = VK_ATTACHMENT_STORE_OP_STORE;
    attachment.stencilLoadOp = VK_ATTACHMENT_LOAD_OP_DONT_CARE;
    attachment.stencilStoreOp = VK_ATTACHMENT_STORE_OP_DONT_CARE;
    attachment.initialLayout = VK_IMAGE_LAYOUT_UNDEFINED;
    attachment.finalLayout = VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL;
    const VkAttachmentReference colour = {0, VK_IMAGE_LAYOUT_COLOR_ATTACHMENT_OPTIMAL};
    VkSubpassDescription subpass{};
    subpass.pipelineBindPoint = VK_PIPELINE_BIND_POINT_GRAPHICS;
    subpass.colorAttachmentCount = 1;
    subpass.pColorAttachments = &colour;
    // The copy after the pass waits for the clear's writes.
    VkSubpassDependency after{};
    after.srcSubpass = 0;
    after.dstSubpass = VK_SUBPASS_EXTERNAL;
    after.srcStageMask = VK_PIPELINE_STAGE_COLOR_ATTACHMENT_OUTPUT_BIT;
    after.dstStageMask = VK_PIPELINE_STAGE_TRANSFER_BIT;
    after.srcAccessMask = VK_ACCESS_COLOR_ATTACHMENT_WRITE_BIT;
    after.dstAccessMask = VK_ACCESS_TRANSFER_READ_BIT;
    VkRenderPassCreateInfo pass{};
    pass.sType = VK_STRUCTURE_TYPE_RENDER_PASS_CREATE_INFO;
    pass.attachmentCount = 1;
    pass.pAttachments = &attachment;
    pass.subpassCount = 1;
    pass.pSubpasses = &subpass;
    pass.dependencyCount = 1;
    pass.pDependencies = &after;
    if (int status =
            checked("vkCreateRenderPass", vkCreateRenderPass(handles.device, &pass, nullptr, &handles.render_pass)))
        return status;

    VkFramebufferCreateInfo framebuffer{};
    framebuffer.sType = VK_STRUCTURE_TYPE_FRAMEBUFFER_CREATE_INFO;
    framebuffer.renderPass = handles.render_pass;
    framebuffer.attachmentCount = 1;
    framebuffer.pAttachments = &handles.view;
    framebuffer.width = framebuffer.height = buffer_size;
    framebuffer.layers = 1;
    if (int status = checked("vkCreateFramebuffer",
                             vkCreateFramebuffer(handles.device, &framebuffer, nullptr, &handles.framebuffer)))
        return status;

    VkBufferCreateInfo buffer{};
    buffer.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
    buffer.size = buffer_bytes;
    buffer.usage = VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    buffer.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    if (int status = checked("vkCreateBuffer", vkCreateBuffer(handles.device, &buffer, nullptr, &handles.buffer)))
        return status;
    vkGetBufferMemoryRequirements(handles.device, handles.buffer, &needs);
    if (int status = allocate(handles, needs, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT,
                              handles.buffer_memory))
        return status;
    return checked("vkBindBufferMemory", vkBindBufferMemory(handles.device, handles.buffer, handles.buffer_memory, 0));
}

// One command buffer: the render pass clears the image to magenta, the
// image is copied to the buffer, and the host may read it once the fence
// is signalled.
int clear_and_copy(vulkan_handles &handles)
{
    VkCommandPoolCreateInfo pool{};
    pool.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    pool.queueFamilyIndex = handles.queue_family;
    if (int status = checked("vkCreateCommandPool", vkCreateCommandPool(handles.device, &pool, nullptr, &handles.pool)))
        return status;
    VkCommandBufferAllocateInfo allocation{};
    allocation.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    allocation.commandPool = handles.pool;
    allocation.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    allocation.commandBufferCount = 1;
    if (int status = checked("vkAllocateCommandBuffers",
                             vkAllocateCommandBuffers(handles.device, &allocation, &handles.commands)))
        return status;
    VkCommandBufferBeginInfo begin{};
    begin.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    begin.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    if (int status = checked("vkBeginCommandBuffer", vkBeginCommandBuffer(handles.commands, &begin)))
        return status;

    VkClearValue magenta{};
    magenta.color = {{1.0f, 0.0f, 1.0f, 1.0f}};
    VkRenderPassBeginInfo pass{};
    pass.sType = VK_STRUCTURE_TYPE_RENDER_PASS_BEGIN_INFO;
    pass.renderPass = handles.render_pass;
    pass.framebuffer = handles.framebuffer;
    pass.renderArea.extent = {buffer_size, buffer_size};
    pass.clearValueCount = 1;
    pass.pClearValues = &magenta;
    vkCmdBeginRenderPass(handles.commands, &pass, VK_SUBPASS_CONTENTS_INLINE);
    vkCmdEndRenderPass(handles.commands);

    VkBufferImageCopy copy{};
    copy.imageSubresource = {VK_IMAGE_ASPECT_COLOR_BIT, 0, 0, 1};
    copy.imageExtent = {buffer_size, buffer_size, 1};
    vkCmdCopyImageToBuffer(handles.commands, handles.image, VK_IMAGE_LAYOUT_TRANSFER_SRC_OPTIMAL, handles.buffer, 1,
                           &copy);
    VkBufferMemoryBarrier to_host{};
    to_host.sType = VK_STRUCTURE_TYPE_BUFFER_MEMORY_BARRIER;
    to_host.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    to_host.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    to_host.srcQueueFamilyIndex = to_host.dstQueueFamilyIndex = VK_QUEUE_FAMILY_IGNORED;
    to_host.buffer = handles.buffer;
    to_host.size = VK_WHOLE_SIZE;
    vkCmdPipelineBarrier(handles.commands, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 0, nullptr,
                         1, &to_host, 0, nullptr);
    if (int status = checked("vkEndCommandBuffer", vkEndCommandBuffer(handles.commands)))
        return status;

    VkFenceCreateInfo fence{};
    fence.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    if (int status = checked("vkCreateFence", vkCreateFence(handles.device, &fence, nullptr, &handles.fence)))
        return status;
    VkSubmitInfo submit{};
    submit.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    submit.commandBufferCount = 1;
    submit.pCommandBuffers = &handles.commands;
    if (int status = checked("vkQueueSubmit", vkQueueSubmit(handles.queue, 1, &submit, handles.fence)))
        return status;
    // A GPU that never signals is for the caller's bound to end.
    return checked("vkWaitForFences", vkWaitForFences(handles.device, 1, &handles.fence, VK_TRUE, UINT64_MAX));
}

int read_back(const vulkan_handles &handles)
{
    void *mapped = nullptr;
    if (int status = checked("vkMapMemory",
                             vkMapMemory(handles.device, handles.buffer_memory, 0, VK_WHOLE_SIZE, 0, &mapped)))
        return status;
    const auto *bytes = static_cast<const unsigned char *>(mapped);
    const size_t centre = (static_cast<size_t>(buffer_size / 2) * buffer_size + buffer_size / 2) * 4;
    unsigned char pixel[4];
    std::memcpy(pixel, bytes + centre, sizeof pixel);
    vkUnmapMemory(handles.device, handles.buffer_memory);
    const bool accepted = pixel_accepted(pixel);
    report_readback(pixel, accepted);
    return accepted ? 0 : fail_vulkan("pixel readback");
}

// A CPU implementation (lavapipe, SwiftShader) is the software fallback.
int judge_device(bool require_hw)
{
    const bool software = chosen.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU;
    if (software && require_hw)
        return fail_vulkan("--require-hw: software renderer answered");
    report_pass(software ? SOFTWARE_WORD : HARDWARE_WORD);
    return 0;
}

// In the reverse order of their making.
void release(const vulkan_handles &handles)
{
    vkDestroyFence(handles.device, handles.fence, nullptr);
    vkDestroyCommandPool(handles.device, handles.pool, nullptr);
    vkFreeMemory(handles.device, handles.buffer_memory, nullptr);
    vkDestroyBuffer(handles.device, handles.buffer, nullptr);
    vkDestroyFramebuffer(handles.device, handles.framebuffer, nullptr);
    vkDestroyRenderPass(handles.device, handles.render_pass, nullptr);
    vkDestroyImageView(handles.device, handles.view, nullptr);
    vkDestroyImage(handles.device, handles.image, nullptr);
    vkFreeMemory(handles.device, handles.image_memory, nullptr);
    vkDestroyDevice(handles.device, nullptr);
    vkDestroyInstance(handles.instance, nullptr);
}
