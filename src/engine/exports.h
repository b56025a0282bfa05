// The plug-in's exported entry points, with C linkage.
#pragma once

#include "host/snap_info.h"

#define BXSO_EXPORT extern "C" __attribute__((visibility("default")))

BXSO_EXPORT void bxso_version(short* major, short* minor, short* revision);
BXSO_EXPORT int bxso_isSupported(const char* deviceName, int, BXSO::BXOSUtil* util, void*, short);
BXSO_EXPORT int bxso_prepareDevices(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_unprepareDevices(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_snapDevices(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_postSnapDevices(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_isMapped(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_mapSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_unmapSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_deleteSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_revertSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_fileRevert(void*, void*, void*, short, BXSO::BXOSUtil* util);
BXSO_EXPORT int bxso_reconcileSnaps(BXSO::SnapInfo** snaps, short count, BXSO::BXOSUtil* util);

// Marks every record whose status is not the success status as failed.
void setSnapStatus(BXSO::SnapStatus success, BXSO::SnapStatus failure, BXSO::SnapInfo** snaps,
                   short count);
void setSnapOpError(BXSO::SnapInfo* record, int code, const char* message);
