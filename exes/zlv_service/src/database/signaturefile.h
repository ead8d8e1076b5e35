// Names and removal of the rsync signature files cached per backed-up file
// version in the "Signatures" folder.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <cstdint>

namespace kvn_agent_database {

// MD5 of the native path encoded as UTF-16LE: how the box and the signature
// folder name a file.
QByteArray pathDigest(const QString& nativePath);

// "<job id><split MD5 of the native path><last write>.sig" below folder; the
// MD5 (of the UTF-16LE path) is written in lower-case hexadecimal with a
// folder separator before characters 0, 2 and 4, so that the versions of
// one file share a folder.
QString signatureFilePath(const QDir& signaturesDir, const QString& nativePath,
                          std::int64_t lastWrite, std::int64_t jobId);

// The block fingerprints kept beside a volume's hashmap (a system image's
// signature file): they go wherever it goes.
QString fingerprintsPath(const QString& signaturePath);

// Deletes one signature file, and its fingerprints if it has any; a missing
// signature file is logged, not an error.
void deleteSignatureFile(const QString& signaturePath);

}  // namespace kvn_agent_database
