// SPDX-License-Identifier: MIT
/*
 * A test module for the VM tier: makes a real DRM driver's device report
 * itself wedged, as a driver that cannot recover its GPU does, so that the
 * kernel sends its own uevent and log line. No driver that qemu emulates
 * ever does this by itself. Commands, one per write to /proc/kalpex-wedge:
 *
 *   wedge NODE MASK    drm_dev_wedged_event() on NODE's device, with the
 *                      recovery methods of MASK (1 none, 2 rebind,
 *                      4 bus-reset, 8 vendor-specific)
 *   fail-ioctls NODE   from now on, every ioctl of a file opened on NODE's
 *                      device fails with ECANCELED, as on a wedged device
 *                      whose driver refuses all work
 *   unplug NODE        drm_dev_unplug(): the device's nodes go away (safe
 *                      for vgem; virtio-gpu would be unplugged twice at
 *                      power-off)
 *
 * The module cannot be unloaded: a device it made fail keeps using its
 * tables. It is offered under GPL terms as well, which the kernel asks of
 * modules that use its DRM core.
 */
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/proc_fs.h>
#include <linux/string.h>
#include <linux/uaccess.h>
#include <drm/drm_device.h>
#include <drm/drm_drv.h>
#include <drm/drm_file.h>
#include <drm/drm_ioctl.h>

static struct drm_driver failing_driver;
static struct file_operations failing_fops;
static bool failing_in_use;

static long failing_ioctl(struct file *file, unsigned int command, unsigned long argument)
{
	return -ECANCELED;
}

/* A DRM device's files take their operations from its driver when they
 * are opened: a copy of the driver whose ioctls fail serves every file
 * opened from now on. */
static int fail_ioctls(struct drm_device *device)
{
	if (failing_in_use)
		return -EBUSY;
	failing_driver = *device->driver;
	failing_fops = *device->driver->fops;
	failing_fops.unlocked_ioctl = failing_ioctl;
	failing_fops.compat_ioctl = failing_ioctl;
	failing_driver.fops = &failing_fops;
	failing_in_use = true;
	device->driver = &failing_driver;
	return 0;
}

static ssize_t command_written(struct file *unused, const char __user *text, size_t length, loff_t *offset)
{
	char line[96], node[64], command[16];
	unsigned long mask = 0;
	struct file *file;
	struct drm_device *device;
	int fields, result = -EINVAL;

	if (length >= sizeof(line))
		return -EINVAL;
	if (copy_from_user(line, text, length))
		return -EFAULT;
	line[length] = '\0';
	fields = sscanf(line, "%15s %63s %lu", command, node, &mask);
	if (fields < 2)
		return -EINVAL;
	file = filp_open(node, O_RDWR, 0);
	if (IS_ERR(file))
		return PTR_ERR(file);
	if (imajor(file_inode(file)) != DRM_MAJOR || !file->private_data) {
		filp_close(file, NULL);
		return -ENODEV;
	}
	device = ((struct drm_file *)file->private_data)->minor->dev;
	if (strcmp(command, "wedge") == 0 && fields == 3)
		result = drm_dev_wedged_event(device, mask, NULL);
	else if (strcmp(command, "fail-ioctls") == 0)
		result = fail_ioctls(device);
	else if (strcmp(command, "unplug") == 0)
		drm_dev_unplug(device), result = 0;
	filp_close(file, NULL);
	return result ? result : (ssize_t)length;
}

static const struct proc_ops command_ops = {
	.proc_write = command_written,
};

static int __init kalpex_wedge_init(void)
{
	return proc_create("kalpex-wedge", 0200, NULL, &command_ops) ? 0 : -ENOMEM;
}
module_init(kalpex_wedge_init);

MODULE_DESCRIPTION("kalpex's VM tier: a DRM device reported wedged, failing or unplugged on request");
MODULE_LICENSE("Dual MIT/GPL");
