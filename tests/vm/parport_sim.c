// SPDX-License-Identifier: GPL-2.0
/*
 * A parallel port made of software with a printer on it, for the driver tests: the kernel's own
 * parport and lp drive it as they drive a PC port without an interrupt, and the bytes go through
 * the kernel's own compatibility-mode handshake.
 *
 * The printer latches the data lines on each strobe into
 * /sys/kernel/debug/parport_sim/received (reading gives the bytes; writing anything empties it;
 * "dropped" beside it counts those that came past its 1 MiB).
 * Its status lines are the writable parameters busy, paper_end, select, nfault and nack, as
 * levels (1 is high); a printer switched off has every one low. The status register reads them
 * as a PC port does: BUSY inverted, the others as they are.
 *
 * after_bytes: once that many more bytes have been latched, the lines become then_lines, whose
 * bits are the lines' bits in the status register, as levels: BUSY 0x80, nAck 0x40, PE 0x20,
 * SELECT 0x10, nFault 0x08. It counts down to 0, which arms nothing.
 * busy_us: each byte holds BUSY high for that many microseconds after its strobe.
 */
#include <linux/debugfs.h>
#include <linux/fs.h>
#include <linux/ktime.h>
#include <linux/module.h>
#include <linux/parport.h>
#include <linux/platform_device.h>
#include <linux/spinlock.h>
#include <linux/uaccess.h>
#include <linux/vmalloc.h>

static bool busy;
static bool paper_end;
static bool selected = true;
static bool nfault = true;
static bool nack = true;
static unsigned int after_bytes;
static unsigned int then_lines;
static unsigned int busy_us;
module_param(busy, bool, 0644);
module_param(paper_end, bool, 0644);
module_param_named(select, selected, bool, 0644);
module_param(nfault, bool, 0644);
module_param(nack, bool, 0644);
module_param(after_bytes, uint, 0644);
module_param(then_lines, uint, 0644);
module_param(busy_us, uint, 0644);

/* Far more than a test page: what comes past it is counted in "dropped", not kept. */
#define RECEIVED_SIZE (1 << 20)

/* The port's registers and the printer's memory. Taken with interrupts off, since the parport
 * core restores a device's state under its own lock. */
static DEFINE_SPINLOCK(lock);
static unsigned char data;
static unsigned char control;
static ktime_t busy_until;
static unsigned char *received;
static size_t length;
static u32 dropped;

static struct platform_device *device;
static struct parport *port;
static struct dentry *folder;

static void latch(void)
{
	if (length < RECEIVED_SIZE)
		received[length++] = data;
	else
		dropped++;
	if (busy_us)
		busy_until = ktime_add_us(ktime_get(), busy_us);
	if (after_bytes && --after_bytes == 0) {
		busy = then_lines & PARPORT_STATUS_BUSY;
		nack = then_lines & PARPORT_STATUS_ACK;
		paper_end = then_lines & PARPORT_STATUS_PAPEROUT;
		selected = then_lines & PARPORT_STATUS_SELECT;
		nfault = then_lines & PARPORT_STATUS_ERROR;
	}
}

static void sim_write_data(struct parport *p, unsigned char d)
{
	WRITE_ONCE(data, d);
}

static unsigned char sim_read_data(struct parport *p)
{
	return READ_ONCE(data);
}

/* The printer takes the data lines as the strobe goes active. */
static unsigned char sim_frob_control(struct parport *p, unsigned char mask, unsigned char val)
{
	const unsigned char lines = PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD |
				    PARPORT_CONTROL_INIT | PARPORT_CONTROL_SELECT;
	unsigned long flags;
	unsigned char now;

	spin_lock_irqsave(&lock, flags);
	now = ((control & ~mask) ^ val) & lines;
	if ((now & ~control) & PARPORT_CONTROL_STROBE)
		latch();
	control = now;
	spin_unlock_irqrestore(&lock, flags);
	return now;
}

static void sim_write_control(struct parport *p, unsigned char c)
{
	sim_frob_control(p, 0xff, c);
}

static unsigned char sim_read_control(struct parport *p)
{
	return READ_ONCE(control);
}

static unsigned char sim_read_status(struct parport *p)
{
	unsigned long flags;
	unsigned char lines;

	spin_lock_irqsave(&lock, flags);
	lines = (busy || ktime_before(ktime_get(), busy_until) ? PARPORT_STATUS_BUSY : 0) |
		(nack ? PARPORT_STATUS_ACK : 0) | (paper_end ? PARPORT_STATUS_PAPEROUT : 0) |
		(selected ? PARPORT_STATUS_SELECT : 0) | (nfault ? PARPORT_STATUS_ERROR : 0);
	spin_unlock_irqrestore(&lock, flags);
	return lines ^ PARPORT_STATUS_BUSY;
}

/* No interrupt line and no bidirectional data: a plain SPP port. */
static void sim_nothing(struct parport *p)
{
}

static void sim_init_state(struct pardevice *dev, struct parport_state *s)
{
	s->u.pc.ctr = PARPORT_CONTROL_SELECT | PARPORT_CONTROL_INIT;
}

static void sim_save_state(struct parport *p, struct parport_state *s)
{
	s->u.pc.ctr = sim_read_control(p);
}

static void sim_restore_state(struct parport *p, struct parport_state *s)
{
	sim_write_control(p, s->u.pc.ctr);
}

static struct parport_operations sim_ops = {
	.write_data = sim_write_data,
	.read_data = sim_read_data,
	.write_control = sim_write_control,
	.read_control = sim_read_control,
	.frob_control = sim_frob_control,
	.read_status = sim_read_status,
	.enable_irq = sim_nothing,
	.disable_irq = sim_nothing,
	.data_forward = sim_nothing,
	.data_reverse = sim_nothing,
	.init_state = sim_init_state,
	.save_state = sim_save_state,
	.restore_state = sim_restore_state,
	.epp_write_data = parport_ieee1284_epp_write_data,
	.epp_read_data = parport_ieee1284_epp_read_data,
	.epp_write_addr = parport_ieee1284_epp_write_addr,
	.epp_read_addr = parport_ieee1284_epp_read_addr,
	.ecp_write_data = parport_ieee1284_ecp_write_data,
	.ecp_read_data = parport_ieee1284_ecp_read_data,
	.ecp_write_addr = parport_ieee1284_ecp_write_addr,
	.compat_write_data = parport_ieee1284_write_compat,
	.nibble_read_data = parport_ieee1284_read_nibble,
	.byte_read_data = parport_ieee1284_read_byte,
	.owner = THIS_MODULE,
};

/* Copied out a chunk at a time, since the lock cannot be held across a copy to user space. */
static ssize_t received_read(struct file *file, char __user *to, size_t count, loff_t *at)
{
	char chunk[256];
	unsigned long flags;
	ssize_t done = 0;
	size_t n;

	while (count > 0) {
		n = 0;
		spin_lock_irqsave(&lock, flags);
		if (*at >= 0 && (size_t)*at < length) {
			n = min3(count, sizeof(chunk), length - (size_t)*at);
			memcpy(chunk, received + *at, n);
		}
		spin_unlock_irqrestore(&lock, flags);
		if (n == 0)
			break;
		if (copy_to_user(to + done, chunk, n))
			return done ? done : -EFAULT;
		done += n;
		*at += n;
		count -= n;
	}
	return done;
}

static ssize_t received_write(struct file *file, const char __user *from, size_t count,
			      loff_t *at)
{
	unsigned long flags;

	spin_lock_irqsave(&lock, flags);
	length = 0;
	dropped = 0;
	spin_unlock_irqrestore(&lock, flags);
	return count;
}

static const struct file_operations received_fops = {
	.owner = THIS_MODULE,
	.read = received_read,
	.write = received_write,
	.llseek = default_llseek,
};

static int __init sim_init(void)
{
	received = vmalloc(RECEIVED_SIZE);
	if (!received)
		return -ENOMEM;
	control = PARPORT_CONTROL_SELECT | PARPORT_CONTROL_INIT;

	/* A device to hang the port on, as the lp device's parent. */
	device = platform_device_register_simple("parport_sim", PLATFORM_DEVID_NONE, NULL, 0);
	if (IS_ERR(device)) {
		vfree(received);
		return PTR_ERR(device);
	}
	port = parport_register_port(0, PARPORT_IRQ_NONE, PARPORT_DMA_NONE, &sim_ops);
	if (!port) {
		platform_device_unregister(device);
		vfree(received);
		return -ENOMEM;
	}
	port->modes = PARPORT_MODE_PCSPP;
	port->dev = &device->dev;

	folder = debugfs_create_dir("parport_sim", NULL);
	debugfs_create_file("received", 0600, folder, NULL, &received_fops);
	debugfs_create_u32("dropped", 0400, folder, &dropped);

	pr_info("%s: software printer port\n", port->name);
	parport_announce_port(port);
	return 0;
}

static void __exit sim_exit(void)
{
	/* Unregistering the port's device drops the last reference, as parport_pc does. */
	parport_remove_port(port);
	parport_del_port(port);
	debugfs_remove_recursive(folder);
	platform_device_unregister(device);
	vfree(received);
}

module_init(sim_init);
module_exit(sim_exit);
MODULE_DESCRIPTION("A parallel port with a printer on it, made of software");
MODULE_LICENSE("GPL");
