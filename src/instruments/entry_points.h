// Entry points of the instrument families. Each works on tGps, takes no
// argument and returns 0 on success, any other value on failure.
#pragma once

int DownloadGalileoTrackLog();
int DownloadGalileoWaypoints();
int UploadGalileoWaypoints();
int DownloadGarminTrackLog();
int DownloadGarminWaypoints();
int UploadGarminWaypoints();
int DownloadMlrTrackLog();
int DownloadXctTrackLog();
int DownloadFlymasterTrackLog();
int DownloadFlymasterWaypoints();
int UploadFlymasterWaypoints();
int DownloadDigiflyGraviterTrackLog();
int DownloadIqBasicTrackLog();
int DownloadNmeaStrings();
int DownloadSyrideTrackLog();
