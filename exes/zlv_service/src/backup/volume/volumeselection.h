// Which volumes a system image job backs up. The box stores inclusion and
// exclusion patterns; an inclusion is a volume identity ("guid"), a disk
// serial with a volume identity ("serial|guid"), or a whole disk
// ("serial|", every volume of the disk minus the excluded "serial|guid").
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "kvn_snapshot/volume_list.h"

// The selected entries in pattern order. A pattern that selects nothing
// logs its error; the others still select.
QStringList selectVolumes(const QStringList& inclusions, const QStringList& exclusions,
                          const std::vector<kvn_snapshot::VolumeRecord>& volumes);

// The job's exclusion and inclusion patterns as stored: 0 or KVN_E_FAILED.
std::uint32_t loadVolumePatterns(QSqlDatabase& db, std::int64_t jobId, QStringList& exclusions,
                                 QStringList& inclusions);
