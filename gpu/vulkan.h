// SPDX-License-Identifier: MIT
// The Vulkan probe: an instance with no surface extensions, one physical
// device chosen, a colour image cleared by a render pass and copied to a
// host-visible buffer, and what answered.
#pragma once

#include <vulkan/vulkan.h>

// Which device to check: a DRM node's device number, a PCI slot, or none
// (the first that is no CPU implementation, else the CPU one).
struct device_choice {
    bool by_node = false, by_slot = false;
    unsigned node_major = 0, node_minor = 0;
    unsigned domain = 0, bus = 0, device = 0, function = 0; // the slot asked for, or the node's
    bool node_slot_known = false;
};

// Everything bring-up acquires, in order of acquisition.
struct vulkan_handles {
    VkInstance instance = VK_NULL_HANDLE;
    VkPhysicalDevice physical = VK_NULL_HANDLE;
    uint32_t queue_family = 0;
    VkDevice device = VK_NULL_HANDLE;
    VkQueue queue = VK_NULL_HANDLE;
    VkImage image = VK_NULL_HANDLE;
    VkDeviceMemory image_memory = VK_NULL_HANDLE;
    VkImageView view = VK_NULL_HANDLE;
    VkRenderPass render_pass = VK_NULL_HANDLE;
    VkFramebuffer framebuffer = VK_NULL_HANDLE;
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory buffer_memory = VK_NULL_HANDLE;
    VkCommandPool pool = VK_NULL_HANDLE;
    VkCommandBuffer commands = VK_NULL_HANDLE;
    VkFence fence = VK_NULL_HANDLE;
};

// Stages that can fail return 0 or the status the failure line yielded.
int create_instance(vulkan_handles &handles);
int choose_device(const device_choice &choice, vulkan_handles &handles);
void identify_device(const vulkan_handles &handles);
int create_device(vulkan_handles &handles);
int create_target(vulkan_handles &handles);
int clear_and_copy(vulkan_handles &handles);
int read_back(const vulkan_handles &handles);
int judge_device(bool require_hw);
void release(const vulkan_handles &handles);
