#include "ext_image_mark.h"

#include <ext2fs/ext2fs.h>

#include <QByteArray>
#include <cstring>
#include <ctime>
#include <memory>

#include "kvn_log/log.h"
#include "restored_mark.h"

namespace kvn_vss {

namespace {

struct FileSystemClose {
  void operator()(ext2_filsys fs) const { ext2fs_close_free(&fs); }
};
using FileSystem = std::unique_ptr<struct_ext2_filsys, FileSystemClose>;

// libext2fs's error codes, as the snapshot makers report them.
QByteArray errorText(errcode_t rc) { return "libext2fs error " + QByteArray::number(qint64(rc)); }

// The inode of path (absolute, inside the file system), or 0 when it does
// not exist; symbolic links are followed.
ext2_ino_t lookUp(ext2_filsys fs, const QByteArray& path) {
  ext2_ino_t ino = 0;
  if (ext2fs_namei_follow(fs, EXT2_ROOT_INO, EXT2_ROOT_INO, path.constData(), &ino) != 0) return 0;
  return ino;
}

// Unlinks a regular file from the root folder and frees its inode and
// blocks once no other name holds it.
void removeRootFile(ext2_filsys fs, const char* name, const QString& copy) {
  ext2_ino_t ino = 0;
  if (ext2fs_lookup(fs, EXT2_ROOT_INO, name, int(std::strlen(name)), nullptr, &ino) != 0) return;
  ext2_inode_large inode{};
  auto* plain = reinterpret_cast<ext2_inode*>(&inode);
  errcode_t rc = ext2fs_read_inode_full(fs, ino, plain, sizeof inode);
  if (rc == 0 && !LINUX_S_ISREG(inode.i_mode)) return;
  if (rc == 0) rc = ext2fs_unlink(fs, EXT2_ROOT_INO, name, ino, 0);
  if (rc == 0 && inode.i_links_count > 0) --inode.i_links_count;
  if (rc == 0 && inode.i_links_count == 0) {
    rc = ext2fs_punch(fs, ino, plain, nullptr, 0, ~0ULL);
    inode.i_dtime = fs->now ? fs->now : std::uint32_t(std::time(nullptr));
    if (rc == 0) ext2fs_inode_alloc_stats2(fs, ino, -1, 0);
  }
  if (rc == 0) rc = ext2fs_write_inode_full(fs, ino, plain, sizeof inode);
  if (rc != 0) {
    KLOG_E("cannot remove %s from %s: %s", name, qPrintable(copy), errorText(rc).constData());
  }
}

bool readWhole(ext2_file_t file, QByteArray* text) {
  char piece[2048];
  for (;;) {
    unsigned int got = 0;
    if (ext2fs_file_read(file, piece, sizeof piece, &got) != 0) return false;
    if (got == 0) return true;
    text->append(piece, qsizetype(got));
  }
}

bool writeWhole(ext2_file_t file, const QByteArray& text) {
  if (ext2fs_file_llseek(file, 0, EXT2_SEEK_SET, nullptr) != 0) return false;
  for (qsizetype done = 0; done < text.size();) {
    unsigned int put = 0;
    if (ext2fs_file_write(file, text.constData() + done, unsigned(text.size() - done), &put) != 0 ||
        put == 0) {
      return false;
    }
    done += qsizetype(put);
  }
  return ext2fs_file_set_size2(file, ext2_off64_t(text.size())) == 0 &&
         ext2fs_file_flush(file) == 0;
}

void markSettingsIn(ext2_filsys fs, const QString& copy) {
  const QString dataRoot = dataRootInsideVolume(QStringLiteral("/"));
  if (dataRoot.isEmpty()) return;
  const QString path = dataRoot + QLatin1String(kSettingsBelowDataRoot);
  const QString where = copy + u':' + path;
  const ext2_ino_t ino = lookUp(fs, path.toUtf8());
  if (ino == 0) {
    KLOG_I("No zlv.ini in at %s", qPrintable(where));
    return;
  }
  ext2_file_t file = nullptr;
  if (ext2fs_file_open(fs, ino, EXT2_FILE_WRITE, &file) != 0) {
    KLOG_E("Read error in %s", qPrintable(where));
    return;
  }
  QByteArray before;
  if (!readWhole(file, &before)) {
    KLOG_E("Read error in %s", qPrintable(where));
  } else if (!writeWhole(file, markedSettings(where, before))) {
    KLOG_E("Write error in %s", qPrintable(where));
  }
  if (ext2fs_file_close(file) != 0) KLOG_E("Write error in %s", qPrintable(where));
}

}  // namespace

void markRestoredExtImage(const QString& copy) {
  const QByteArray native = copy.toLocal8Bit();
  ext2_filsys opened = nullptr;
  if (ext2fs_open2(native.constData(), nullptr, EXT2_FLAG_RW | EXT2_FLAG_64BITS, 0, 0,
                   unix_io_manager, &opened) != 0) {
    KLOG_D("restored-system mark not applied to %s: no ext2, ext3 or ext4 file system",
           native.constData());
    return;
  }
  FileSystem fs(opened);
  if (ext2fs_has_feature_journal_needs_recovery(fs->super)) {
    KLOG_D("restored-system mark not applied to %s: its journal needs replaying",
           native.constData());
    return;
  }
  if (const errcode_t rc = ext2fs_read_bitmaps(fs.get()); rc != 0) {
    KLOG_E("cannot read the bitmaps of %s: %s", native.constData(), errorText(rc).constData());
    return;
  }
  KLOG_I("Korvane writer in %s", native.constData());
  for (const char* name : kRestoredSwapFiles) removeRootFile(fs.get(), name, copy);
  markSettingsIn(fs.get(), copy);
  // Closing writes the bitmaps, the group descriptors and the superblock.
  ext2_filsys closing = fs.release();
  if (const errcode_t rc = ext2fs_close_free(&closing); rc != 0) {
    KLOG_E("cannot write the file system of %s: %s", native.constData(), errorText(rc).constData());
  }
}

}  // namespace kvn_vss
