// SPDX-License-Identifier: GPL-2.0-or-later
/*
 * vlmmgr: a manager-type filesystem for the real-kernel tests. A memory
 * filesystem whose statfs type is the storage driver's manager type, in
 * which directories (disks/) and device nodes can be made, opened, listed
 * and unlinked. It holds no data and serves no I/O of its own: a block node
 * opens the block device of its number, as on any other filesystem.
 * Built against the headers of the test VM's kernel and loaded only there.
 */
#include <linux/fs.h>
#include <linux/fs_context.h>
#include <linux/module.h>
#include <linux/version.h>

#define VLMMGR_MAGIC 0x958459f6

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 3, 0)
#define VLMMGR_IDMAP struct mnt_idmap
#define VLMMGR_NOP_IDMAP (&nop_mnt_idmap)
#else
#define VLMMGR_IDMAP struct user_namespace
#define VLMMGR_NOP_IDMAP (&init_user_ns)
#endif

static const struct inode_operations vlmmgr_dir_inode_operations;

static const struct super_operations vlmmgr_super_operations = {
	.statfs = simple_statfs,
	.drop_inode = generic_delete_inode,
};

static void vlmmgr_touch(struct inode *inode)
{
#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 7, 0)
	simple_inode_init_ts(inode);
#elif LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)
	inode->i_atime = inode->i_mtime = inode_set_ctime_current(inode);
#else
	inode->i_atime = inode->i_mtime = inode->i_ctime = current_time(inode);
#endif
}

static struct inode *vlmmgr_new_inode(struct super_block *sb, const struct inode *dir,
				      umode_t mode, dev_t dev)
{
	struct inode *inode = new_inode(sb);

	if (!inode)
		return NULL;
	inode->i_ino = get_next_ino();
	inode_init_owner(VLMMGR_NOP_IDMAP, inode, dir, mode);
	vlmmgr_touch(inode);
	if (S_ISDIR(mode)) {
		inode->i_op = &vlmmgr_dir_inode_operations;
		inode->i_fop = &simple_dir_operations;
		inc_nlink(inode);
	} else {
		init_special_inode(inode, mode, dev);
	}
	return inode;
}

/* Block and character nodes, fifos and sockets (with no create operation,
 * regular files cannot be made). The dentry is pinned, as in every memory
 * filesystem, and let go by unlink or at unmount. */
static int vlmmgr_mknod(VLMMGR_IDMAP *idmap, struct inode *dir, struct dentry *dentry,
			umode_t mode, dev_t dev)
{
	struct inode *inode = vlmmgr_new_inode(dir->i_sb, dir, mode, dev);

	if (!inode)
		return -ENOSPC;
	d_instantiate(dentry, inode);
	dget(dentry);
	vlmmgr_touch(dir);
	return 0;
}

static int vlmmgr_mkdir(VLMMGR_IDMAP *idmap, struct inode *dir, struct dentry *dentry,
			umode_t mode)
{
	int rc = vlmmgr_mknod(idmap, dir, dentry, mode | S_IFDIR, 0);

	if (!rc)
		inc_nlink(dir);
	return rc;
}

static const struct inode_operations vlmmgr_dir_inode_operations = {
	.lookup = simple_lookup,
	.mknod = vlmmgr_mknod,
	.mkdir = vlmmgr_mkdir,
	.rmdir = simple_rmdir,
	.unlink = simple_unlink,
};

static int vlmmgr_fill_super(struct super_block *sb, struct fs_context *fc)
{
	struct inode *root;

	sb->s_maxbytes = MAX_LFS_FILESIZE;
	sb->s_blocksize = PAGE_SIZE;
	sb->s_blocksize_bits = PAGE_SHIFT;
	sb->s_magic = VLMMGR_MAGIC;
	sb->s_op = &vlmmgr_super_operations;
	sb->s_time_gran = 1;
	root = vlmmgr_new_inode(sb, NULL, S_IFDIR | 0755, 0);
	sb->s_root = d_make_root(root);
	return sb->s_root ? 0 : -ENOMEM;
}

static int vlmmgr_get_tree(struct fs_context *fc)
{
	return get_tree_nodev(fc, vlmmgr_fill_super);
}

static const struct fs_context_operations vlmmgr_context_operations = {
	.get_tree = vlmmgr_get_tree,
};

static int vlmmgr_init_fs_context(struct fs_context *fc)
{
	fc->ops = &vlmmgr_context_operations;
	return 0;
}

static struct file_system_type vlmmgr_fs_type = {
	.owner = THIS_MODULE,
	.name = "vlmmgr",
	.init_fs_context = vlmmgr_init_fs_context,
	.kill_sb = kill_litter_super,
};

static int __init vlmmgr_init(void)
{
	return register_filesystem(&vlmmgr_fs_type);
}

static void __exit vlmmgr_exit(void)
{
	unregister_filesystem(&vlmmgr_fs_type);
}

module_init(vlmmgr_init);
module_exit(vlmmgr_exit);
MODULE_DESCRIPTION("Manager-type memory filesystem for the kit's VM tests");
MODULE_LICENSE("GPL");
