// ext4 image files made from generated trees with the e2fsprogs tools, and
// the checks run on images the box rebuilds.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace kvn_sysimg_test {

// Runs a tool; its output (both streams), or the failure as text with ok
// false.
QString runTool(const QString& program, const QStringList& arguments, bool* ok);

// Makes path an ext4 file system of sizeMiB MiB (4 KiB blocks) holding the
// tree. Empty on success, else the failure.
QString makeExt4(const QString& path, int sizeMiB, const QString& tree);

// e2fsck -fn; empty when the file system is clean.
QString fsckProblems(const QString& image);

// The bytes of a file inside the image (debugfs dump).
QByteArray dumpFile(const QString& image, const QString& path, const QString& scratch);

// Writes a local file into the image as path (debugfs -w write), replacing
// what was there.
QString writeIntoImage(const QString& image, const QString& local, const QString& path);

}  // namespace kvn_sysimg_test
