// SPDX-License-Identifier: MIT
// A stand-in Vulkan driver, loaded by the real Vulkan loader through its
// ICD manifest (VK_DRIVER_FILES), for the failure paths and the hardware
// path no machine of the tests has. It answers every call kalpex-vulkan
// makes, steered by STANDIN_VK_* variables:
//   STANDIN_VK_FAIL     the call that fails, with STANDIN_VK_RESULT (a
//                       VkResult's number, default -3: initialization failed)
//   STANDIN_VK_TYPE     discrete (default), integrated or cpu
//   STANDIN_VK_DEVICES  how many devices (default 1)
//   STANDIN_VK_DRM      MAJOR:MINOR of the device's render node, offered
//                       through VK_EXT_physical_device_drm
//   STANDIN_VK_PCI      the device's slot (0000:3b:00.0), through
//                       VK_EXT_pci_bus_info
//   STANDIN_VK_PIXEL    rrggbbaa that the copy leaves in the buffer
//   STANDIN_VK_NO_GRAPHICS  a queue family that cannot draw
#include <vulkan/vk_icd.h>
#include <vulkan/vulkan.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Dispatchable handles begin with the loader's slot.
struct dispatchable {
    VK_LOADER_DATA loader;
};
dispatchable instance_object, physical_objects[4], device_object, queue_object, command_object;
// Non-dispatchable handles are numbers no two objects share.
uint64_t next_handle = 0x1000;
// The host-visible memory the copy fills.
unsigned char host_memory[64 * 64 * 4];

const char *setting(const char *name)
{
    const char *value = getenv(name);
    return value && *value ? value : nullptr;
}

VkResult outcome(const char *call)
{
    const char *failing = setting("STANDIN_VK_FAIL");
    if (!failing || std::strcmp(failing, call) != 0)
        return VK_SUCCESS;
    const char *result = setting("STANDIN_VK_RESULT");
    return static_cast<VkResult>(result ? atoi(result) : VK_ERROR_INITIALIZATION_FAILED);
}

void *dispatch_ready(dispatchable &slot)
{
    set_loader_magic_value(&slot);
    return &slot;
}

uint32_t device_count()
{
    const char *count = setting("STANDIN_VK_DEVICES");
    return count ? static_cast<uint32_t>(atoi(count)) : 1;
}

// The extensions the device offers: the DRM and PCI ones where steered.
uint32_t device_extensions(VkExtensionProperties *list)
{
    uint32_t count = 0;
    const auto offer = [&](const char *name) {
        if (list)
            (void)std::snprintf(list[count].extensionName, VK_MAX_EXTENSION_NAME_SIZE, "%s", name);
        if (list)
            list[count].specVersion = 1;
        ++count;
    };
    offer(VK_KHR_DRIVER_PROPERTIES_EXTENSION_NAME);
    if (setting("STANDIN_VK_DRM"))
        offer(VK_EXT_PHYSICAL_DEVICE_DRM_EXTENSION_NAME);
    if (setting("STANDIN_VK_PCI"))
        offer(VK_EXT_PCI_BUS_INFO_EXTENSION_NAME);
    return count;
}

VKAPI_ATTR VkResult VKAPI_CALL create_instance(const VkInstanceCreateInfo *, const VkAllocationCallbacks *,
                                               VkInstance *instance)
{
    *instance = static_cast<VkInstance>(dispatch_ready(instance_object));
    return outcome("vkCreateInstance");
}

VKAPI_ATTR void VKAPI_CALL destroy_instance(VkInstance, const VkAllocationCallbacks *) {}

VKAPI_ATTR VkResult VKAPI_CALL instance_extensions(const char *, uint32_t *count, VkExtensionProperties *)
{
    *count = 0;
    return VK_SUCCESS;
}

VKAPI_ATTR VkResult VKAPI_CALL instance_version(uint32_t *version)
{
    *version = VK_API_VERSION_1_3;
    return VK_SUCCESS;
}

VKAPI_ATTR VkResult VKAPI_CALL physical_devices(VkInstance, uint32_t *count, VkPhysicalDevice *devices)
{
    const uint32_t have = device_count() < 4 ? device_count() : 4;
    if (const VkResult result = outcome("vkEnumeratePhysicalDevices"))
        return result;
    if (!devices) {
        *count = have;
        return VK_SUCCESS;
    }
    const uint32_t given = *count < have ? *count : have;
    for (uint32_t i = 0; i < given; ++i)
        devices[i] = static_cast<VkPhysicalDevice>(dispatch_ready(physical_objects[i]));
    *count = given;
    return given < have ? VK_INCOMPLETE : VK_SUCCESS;
}

VKAPI_ATTR void VKAPI_CALL properties(VkPhysicalDevice, VkPhysicalDeviceProperties *out)
{
    *out = {};
    out->apiVersion = VK_API_VERSION_1_3;
    out->vendorID = 0x10de;
    const char *type = setting("STANDIN_VK_TYPE");
    out->deviceType = !type                                 ? VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU
                      : std::strcmp(type, "cpu") == 0        ? VK_PHYSICAL_DEVICE_TYPE_CPU
                      : std::strcmp(type, "integrated") == 0 ? VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU
                                                             : VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
    (void)std::snprintf(out->deviceName, sizeof out->deviceName, "Stand-in Vulkan GPU");
}

VKAPI_ATTR void VKAPI_CALL properties2(VkPhysicalDevice device, VkPhysicalDeviceProperties2 *out)
{
    properties(device, &out->properties);
    for (auto *next = static_cast<VkBaseOutStructure *>(out->pNext); next; next = next->pNext) {
        if (next->sType == VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DRIVER_PROPERTIES) {
            auto *driver = reinterpret_cast<VkPhysicalDeviceDriverProperties *>(next);
            (void)std::snprintf(driver->driverName, sizeof driver->driverName, "standin");
            (void)std::snprintf(driver->driverInfo, sizeof driver->driverInfo, "tests/standin");
        } else if (next->sType == VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_DRM_PROPERTIES_EXT && setting("STANDIN_VK_DRM")) {
            auto *drm = reinterpret_cast<VkPhysicalDeviceDrmPropertiesEXT *>(next);
            unsigned major = 0, minor = 0;
            (void)std::sscanf(setting("STANDIN_VK_DRM"), "%u:%u", &major, &minor);
            drm->hasRender = VK_TRUE;
            drm->renderMajor = major;
            drm->renderMinor = minor;
        } else if (next->sType == VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PCI_BUS_INFO_PROPERTIES_EXT &&
                   setting("STANDIN_VK_PCI")) {
            auto *pci = reinterpret_cast<VkPhysicalDevicePCIBusInfoPropertiesEXT *>(next);
            (void)std::sscanf(setting("STANDIN_VK_PCI"), "%x:%x:%x.%x", &pci->pciDomain, &pci->pciBus,
                              &pci->pciDevice, &pci->pciFunction);
        }
    }
}

VKAPI_ATTR VkResult VKAPI_CALL extensions(VkPhysicalDevice, const char *, uint32_t *count,
                                          VkExtensionProperties *list)
{
    const uint32_t have = device_extensions(nullptr);
    if (list)
        (void)device_extensions(list);
    *count = have;
    return VK_SUCCESS;
}

VKAPI_ATTR void VKAPI_CALL queue_families(VkPhysicalDevice, uint32_t *count, VkQueueFamilyProperties *families)
{
    if (families && *count >= 1) {
        families[0] = {};
        families[0].queueFlags = setting("STANDIN_VK_NO_GRAPHICS") ? VK_QUEUE_TRANSFER_BIT
                                                                   : VK_QUEUE_GRAPHICS_BIT | VK_QUEUE_TRANSFER_BIT;
        families[0].queueCount = 1;
    }
    *count = 1;
}

VKAPI_ATTR void VKAPI_CALL memory_properties(VkPhysicalDevice, VkPhysicalDeviceMemoryProperties *out)
{
    *out = {};
    out->memoryTypeCount = 1;
    out->memoryTypes[0].propertyFlags = VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT | VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT |
                                        VK_MEMORY_PROPERTY_HOST_COHERENT_BIT;
    out->memoryHeapCount = 1;
    out->memoryHeaps[0].size = 1 << 30;
}

VKAPI_ATTR void VKAPI_CALL features(VkPhysicalDevice, VkPhysicalDeviceFeatures *out)
{
    *out = {};
}

VKAPI_ATTR VkResult VKAPI_CALL create_device(VkPhysicalDevice, const VkDeviceCreateInfo *,
                                             const VkAllocationCallbacks *, VkDevice *device)
{
    *device = static_cast<VkDevice>(dispatch_ready(device_object));
    return outcome("vkCreateDevice");
}

VKAPI_ATTR void VKAPI_CALL get_queue(VkDevice, uint32_t, uint32_t, VkQueue *queue)
{
    *queue = static_cast<VkQueue>(dispatch_ready(queue_object));
}

VKAPI_ATTR void VKAPI_CALL nothing() {}

// What the loader requires of every driver, and kalpex-vulkan never asks.
VKAPI_ATTR VkResult VKAPI_CALL no_image_format(VkPhysicalDevice, VkFormat, VkImageType, VkImageTiling,
                                               VkImageUsageFlags, VkImageCreateFlags, VkImageFormatProperties *)
{
    return VK_ERROR_FORMAT_NOT_SUPPORTED;
}

VKAPI_ATTR void VKAPI_CALL no_sparse_formats(VkPhysicalDevice, VkFormat, VkImageType, VkSampleCountFlagBits,
                                             VkImageUsageFlags, VkImageTiling, uint32_t *count,
                                             VkSparseImageFormatProperties *)
{
    *count = 0;
}

VKAPI_ATTR VkResult VKAPI_CALL no_layers(VkPhysicalDevice, uint32_t *count, VkLayerProperties *)
{
    *count = 0;
    return VK_SUCCESS;
}

VKAPI_ATTR void VKAPI_CALL requirements(VkDevice, uint64_t, VkMemoryRequirements *needs)
{
    needs->size = sizeof host_memory;
    needs->alignment = 256;
    needs->memoryTypeBits = 1;
}

#define MAKES(function, call, type)                                                                             \
    VKAPI_ATTR VkResult VKAPI_CALL function(VkDevice, const void *, const VkAllocationCallbacks *, type *made_one) \
    {                                                                                                          \
        *made_one = reinterpret_cast<type>(next_handle++);                                                                              \
        return outcome(call);                                                                                  \
    }
MAKES(create_image, "vkCreateImage", VkImage)
MAKES(allocate_memory, "vkAllocateMemory", VkDeviceMemory)
MAKES(create_view, "vkCreateImageView", VkImageView)
MAKES(create_render_pass, "vkCreateRenderPass", VkRenderPass)
MAKES(create_framebuffer, "vkCreateFramebuffer", VkFramebuffer)
MAKES(create_buffer, "vkCreateBuffer", VkBuffer)
MAKES(create_pool, "vkCreateCommandPool", VkCommandPool)
MAKES(create_fence, "vkCreateFence", VkFence)

VKAPI_ATTR VkResult VKAPI_CALL bind_image(VkDevice, VkImage, VkDeviceMemory, VkDeviceSize)
{
    return outcome("vkBindImageMemory");
}

VKAPI_ATTR VkResult VKAPI_CALL bind_buffer(VkDevice, VkBuffer, VkDeviceMemory, VkDeviceSize)
{
    return outcome("vkBindBufferMemory");
}

VKAPI_ATTR VkResult VKAPI_CALL allocate_commands(VkDevice, const VkCommandBufferAllocateInfo *, VkCommandBuffer *out)
{
    *out = static_cast<VkCommandBuffer>(dispatch_ready(command_object));
    return outcome("vkAllocateCommandBuffers");
}

VKAPI_ATTR VkResult VKAPI_CALL begin_commands(VkCommandBuffer, const VkCommandBufferBeginInfo *)
{
    return outcome("vkBeginCommandBuffer");
}

VKAPI_ATTR VkResult VKAPI_CALL end_commands(VkCommandBuffer)
{
    return outcome("vkEndCommandBuffer");
}

// The submission does the copy: the buffer holds the steered pixel.
VKAPI_ATTR VkResult VKAPI_CALL submit(VkQueue, uint32_t, const VkSubmitInfo *, VkFence)
{
    unsigned pixel = 0xff00ffff;
    if (const char *steered = setting("STANDIN_VK_PIXEL"))
        pixel = static_cast<unsigned>(strtoul(steered, nullptr, 16));
    for (size_t at = 0; at < sizeof host_memory; at += 4) {
        host_memory[at] = static_cast<unsigned char>(pixel >> 24);
        host_memory[at + 1] = static_cast<unsigned char>(pixel >> 16);
        host_memory[at + 2] = static_cast<unsigned char>(pixel >> 8);
        host_memory[at + 3] = static_cast<unsigned char>(pixel);
    }
    return outcome("vkQueueSubmit");
}

VKAPI_ATTR VkResult VKAPI_CALL wait_fences(VkDevice, uint32_t, const VkFence *, VkBool32, uint64_t)
{
    return outcome("vkWaitForFences");
}

VKAPI_ATTR VkResult VKAPI_CALL map_memory(VkDevice, VkDeviceMemory, VkDeviceSize, VkDeviceSize, VkMemoryMapFlags,
                                          void **data)
{
    *data = host_memory;
    return outcome("vkMapMemory");
}

struct entry {
    const char *name;
    PFN_vkVoidFunction function;
};
#define ENTRY(name, function) {name, reinterpret_cast<PFN_vkVoidFunction>(function)}
const entry entries[] = {
    ENTRY("vkCreateInstance", create_instance),
    ENTRY("vkDestroyInstance", destroy_instance),
    ENTRY("vkEnumerateInstanceExtensionProperties", instance_extensions),
    ENTRY("vkEnumerateInstanceVersion", instance_version),
    ENTRY("vkEnumeratePhysicalDevices", physical_devices),
    ENTRY("vkGetPhysicalDeviceProperties", properties),
    ENTRY("vkGetPhysicalDeviceProperties2", properties2),
    ENTRY("vkGetPhysicalDeviceProperties2KHR", properties2),
    ENTRY("vkEnumerateDeviceExtensionProperties", extensions),
    ENTRY("vkGetPhysicalDeviceQueueFamilyProperties", queue_families),
    ENTRY("vkGetPhysicalDeviceMemoryProperties", memory_properties),
    ENTRY("vkGetPhysicalDeviceFeatures", features),
    ENTRY("vkGetPhysicalDeviceFormatProperties", nothing),
    ENTRY("vkGetPhysicalDeviceImageFormatProperties", no_image_format),
    ENTRY("vkGetPhysicalDeviceSparseImageFormatProperties", no_sparse_formats),
    ENTRY("vkEnumerateDeviceLayerProperties", no_layers),
    ENTRY("vkCreateDevice", create_device),
    ENTRY("vkDestroyDevice", nothing),
    ENTRY("vkGetDeviceQueue", get_queue),
    ENTRY("vkCreateImage", create_image),
    ENTRY("vkDestroyImage", nothing),
    ENTRY("vkGetImageMemoryRequirements", requirements),
    ENTRY("vkGetBufferMemoryRequirements", requirements),
    ENTRY("vkAllocateMemory", allocate_memory),
    ENTRY("vkFreeMemory", nothing),
    ENTRY("vkBindImageMemory", bind_image),
    ENTRY("vkBindBufferMemory", bind_buffer),
    ENTRY("vkCreateImageView", create_view),
    ENTRY("vkDestroyImageView", nothing),
    ENTRY("vkCreateRenderPass", create_render_pass),
    ENTRY("vkDestroyRenderPass", nothing),
    ENTRY("vkCreateFramebuffer", create_framebuffer),
    ENTRY("vkDestroyFramebuffer", nothing),
    ENTRY("vkCreateBuffer", create_buffer),
    ENTRY("vkDestroyBuffer", nothing),
    ENTRY("vkCreateCommandPool", create_pool),
    ENTRY("vkDestroyCommandPool", nothing),
    ENTRY("vkAllocateCommandBuffers", allocate_commands),
    ENTRY("vkBeginCommandBuffer", begin_commands),
    ENTRY("vkEndCommandBuffer", end_commands),
    ENTRY("vkCmdBeginRenderPass", nothing),
    ENTRY("vkCmdEndRenderPass", nothing),
    ENTRY("vkCmdCopyImageToBuffer", nothing),
    ENTRY("vkCmdPipelineBarrier", nothing),
    ENTRY("vkCreateFence", create_fence),
    ENTRY("vkDestroyFence", nothing),
    ENTRY("vkQueueSubmit", submit),
    ENTRY("vkWaitForFences", wait_fences),
    ENTRY("vkMapMemory", map_memory),
    ENTRY("vkUnmapMemory", nothing),
};

PFN_vkVoidFunction lookup(const char *name)
{
    if (std::strcmp(name, "vkGetDeviceProcAddr") == 0 || std::strcmp(name, "vkGetInstanceProcAddr") == 0)
        return nullptr; // the loader's own
    for (const entry &known : entries) {
        if (std::strcmp(known.name, name) == 0)
            return known.function;
    }
    return nullptr;
}

VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL device_proc(VkDevice, const char *name)
{
    return lookup(name);
}

} // namespace

extern "C" {
VKAPI_ATTR VkResult VKAPI_CALL vk_icdNegotiateLoaderICDInterfaceVersion(uint32_t *version)
{
    if (*version > 5)
        *version = 5;
    return VK_SUCCESS;
}

VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL vk_icdGetInstanceProcAddr(VkInstance, const char *name)
{
    if (std::strcmp(name, "vkGetDeviceProcAddr") == 0)
        return reinterpret_cast<PFN_vkVoidFunction>(device_proc);
    return lookup(name);
}

VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL vk_icdGetPhysicalDeviceProcAddr(VkInstance, const char *name)
{
    return lookup(name);
}
}
