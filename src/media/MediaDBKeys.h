#pragma once

// The MediaDB column keys: the keys of a media record, shared with the
// clients' catalogue. Each key's name joins MediaDB, the catalogue table
// (family), Column and the field; its value is the field name.
//
// The same value serves several families ("Title" is the Music, Video, Photo,
// podcast channel and podcast post title), so a record never tells its family
// by its keys. Compare keys as strings (std::string or std::string_view), never
// as pointers: equal values of different families are distinct constants.

#include <cstddef>
#include <span>
#include <string_view>

namespace corvane::media {

// Common (10)
inline constexpr const char* MediaDBCommonColumnFilePath = "FilePath";
inline constexpr const char* MediaDBCommonColumnFileName = "FileName";
inline constexpr const char* MediaDBCommonColumnIsManaged = "IsManaged";
inline constexpr const char* MediaDBCommonColumnFileSize = "FileSize";
inline constexpr const char* MediaDBCommonColumnMediaType = "MediaType";
inline constexpr const char* MediaDBCommonColumnFileTypeString = "FileTypeString";
inline constexpr const char* MediaDBCommonColumnLinkError = "LinkError";
inline constexpr const char* MediaDBCommonColumnReservedInt = "ReservedInt";
inline constexpr const char* MediaDBCommonColumnReservedBool = "ReservedBool";
inline constexpr const char* MediaDBCommonColumnReservedText = "ReservedText";

// Music (28)
inline constexpr const char* MediaDBMusicColumnTitle = "Title";
inline constexpr const char* MediaDBMusicColumnAlbum = "Album";
inline constexpr const char* MediaDBMusicColumnArtist = "Artist";
inline constexpr const char* MediaDBMusicColumnAlbumArtist = "AlbumArtist";
inline constexpr const char* MediaDBMusicColumnComposer = "Composer";
inline constexpr const char* MediaDBMusicColumnGenre = "Genre";
inline constexpr const char* MediaDBMusicColumnPlayLength = "PlayLength";
inline constexpr const char* MediaDBMusicColumnBitrate = "Bitrate";
inline constexpr const char* MediaDBMusicColumnSamplerate = "Samplerate";
inline constexpr const char* MediaDBMusicColumnEqualizer = "Equalizer";
inline constexpr const char* MediaDBMusicColumnTrackNo = "TrackNo";
inline constexpr const char* MediaDBMusicColumnDiscNo = "DiscNo";
inline constexpr const char* MediaDBMusicColumnPlayCount = "PlayCount";
inline constexpr const char* MediaDBMusicColumnRating = "Rating";
inline constexpr const char* MediaDBMusicColumnAlbumRating = "AlbumRating";
inline constexpr const char* MediaDBMusicColumnDateReleased = "DateReleased";
inline constexpr const char* MediaDBMusicColumnDateAdded = "DateAdded";
inline constexpr const char* MediaDBMusicColumnDateModified = "DateModified";
inline constexpr const char* MediaDBMusicColumnDateLastPlayed = "DateLastPlayed";
inline constexpr const char* MediaDBMusicColumnDRMProperty = "DRMProperty";
inline constexpr const char* MediaDBMusicColumnIsLicenseExpired = "IsLicenseExpired";
inline constexpr const char* MediaDBMusicColumnHasLyrics = "HasLyrics";
inline constexpr const char* MediaDBMusicColumnPlayState = "PlayState";
inline constexpr const char* MediaDBMusicColumnAlbumArt = "AlbumArt";
inline constexpr const char* MediaDBMusicColumnTrackID = "TrackID";
inline constexpr const char* MediaDBMusicColumnAlbumID = "AlbumID";
inline constexpr const char* MediaDBMusicColumnPerformerID = "PerformerID";
inline constexpr const char* MediaDBMusicColumnIsReadOnly = "IsReadOnly";

// Video (23)
inline constexpr const char* MediaDBVideoColumnDateAdded = "DateAdded";
inline constexpr const char* MediaDBVideoColumnDateCreated = "DateCreated";
inline constexpr const char* MediaDBVideoColumnDRMProperty = "DRMProperty";
inline constexpr const char* MediaDBVideoColumnPlayState = "PlayState";
inline constexpr const char* MediaDBVideoColumnTitle = "Title";
inline constexpr const char* MediaDBVideoColumnVCodec = "VCodec";
inline constexpr const char* MediaDBVideoColumnACodec = "ACodec";
inline constexpr const char* MediaDBVideoColumnImage = "Image";
inline constexpr const char* MediaDBVideoColumnWidth = "Width";
inline constexpr const char* MediaDBVideoColumnHeight = "Height";
inline constexpr const char* MediaDBVideoColumnBitrate = "Bitrate";
inline constexpr const char* MediaDBVideoColumnCreator = "Creator";
inline constexpr const char* MediaDBVideoColumnDescription = "Description";
inline constexpr const char* MediaDBVideoColumnPlayLength = "PlayLength";
inline constexpr const char* MediaDBVideoColumnDateLastPlayed = "DateLastPlayed";
inline constexpr const char* MediaDBVideoColumnPlayCount = "PlayCount";
inline constexpr const char* MediaDBVideoColumnRating = "Rating";
inline constexpr const char* MediaDBVideoColumnIsReadOnly = "IsReadOnly";
inline constexpr const char* MediaDBVideoColumnIsLicenseExpired = "IsLicenseExpired";
inline constexpr const char* MediaDBVideoColumnIsChecked = "IsChecked";
inline constexpr const char* MediaDBVideoColumnDateModified = "DateModified";
inline constexpr const char* MediaDBVideoColumnTag = "Tag";
inline constexpr const char* MediaDBVideoColumnKeyword = "Keyword";

// Photo (16)
inline constexpr const char* MediaDBPhotoColumnDateAdded = "DateAdded";
inline constexpr const char* MediaDBPhotoColumnTitle = "Title";
inline constexpr const char* MediaDBPhotoColumnDatePictured = "DatePictured";
inline constexpr const char* MediaDBPhotoColumnImage = "Image";
inline constexpr const char* MediaDBPhotoColumnCameraModel = "CameraModel";
inline constexpr const char* MediaDBPhotoColumnCreator = "Creator";
inline constexpr const char* MediaDBPhotoColumnLocation = "Location";
inline constexpr const char* MediaDBPhotoColumnDescription = "Description";
inline constexpr const char* MediaDBPhotoColumnWidth = "Width";
inline constexpr const char* MediaDBPhotoColumnHeight = "Height";
inline constexpr const char* MediaDBPhotoColumnRating = "Rating";
inline constexpr const char* MediaDBPhotoColumnIsChecked = "IsChecked";
inline constexpr const char* MediaDBPhotoColumnDateModified = "DateModified";
inline constexpr const char* MediaDBPhotoColumnDateCreated = "DateCreated";
inline constexpr const char* MediaDBPhotoColumnTag = "Tag";
inline constexpr const char* MediaDBPhotoColumnKeyword = "Keyword";

// PlaylistItem (3)
inline constexpr const char* MediaDBPlaylistItemColumnPlaylistName = "PlaylistName";
// The constant's name lacks a "t"; its value does not, so it equals the
// PlaylistProperty key.
inline constexpr const char* MediaDBPlaylistItemColumnContensType = "ContentsType";
inline constexpr const char* MediaDBPlaylistItemColumnFilePath = "FilePath";

// PlaylistProperty (4)
inline constexpr const char* MediaDBPlaylistPropertyColumnPlaylistName = "PlaylistName";
inline constexpr const char* MediaDBPlaylistPropertyColumnContentsType = "ContentsType";
inline constexpr const char* MediaDBPlaylistPropertyColumnPlaylistType = "PlaylistType";
inline constexpr const char* MediaDBPlaylistPropertyColumnIsNeedRefresh = "IsNeedRefresh";

// PodcastChannels (22)
inline constexpr const char* MediaDBPodcastChannelsColumnNID = "NID";
inline constexpr const char* MediaDBPodcastChannelsColumnSortOrder = "SortOrder";
inline constexpr const char* MediaDBPodcastChannelsColumnChannelURL = "ChannelURL";
inline constexpr const char* MediaDBPodcastChannelsColumnTitle = "Title";
inline constexpr const char* MediaDBPodcastChannelsColumnSubTitle = "SubTitle";
inline constexpr const char* MediaDBPodcastChannelsColumnDescription = "Description";
inline constexpr const char* MediaDBPodcastChannelsColumnAuthor = "Author";
inline constexpr const char* MediaDBPodcastChannelsColumnSummary = "Summary";
inline constexpr const char* MediaDBPodcastChannelsColumnLink = "Link";
inline constexpr const char* MediaDBPodcastChannelsColumnGuid = "Guid";
inline constexpr const char* MediaDBPodcastChannelsColumnLastBuildDate = "LastBuildDate";
inline constexpr const char* MediaDBPodcastChannelsColumnLastUpdateDate = "LastUpdateDate";
inline constexpr const char* MediaDBPodcastChannelsColumnWebMaster = "WebMaster";
inline constexpr const char* MediaDBPodcastChannelsColumnImageURL = "ImageURL";
inline constexpr const char* MediaDBPodcastChannelsColumnStatus = "Status";
inline constexpr const char* MediaDBPodcastChannelsColumnSubscriptChannel = "SubscriptChannel";
inline constexpr const char* MediaDBPodcastChannelsColumnUserDefaultSetting = "UserDefaultSetting";
inline constexpr const char* MediaDBPodcastChannelsColumnMaintainPostCount = "MaintainPostCount";
inline constexpr const char* MediaDBPodcastChannelsColumnAutoDownloadPostCount = "AutoDownloadPostCount";
inline constexpr const char* MediaDBPodcastChannelsColumnGroupNID = "GroupNID";
inline constexpr const char* MediaDBPodcastChannelsColumnCategory = "Category";
inline constexpr const char* MediaDBPodcastChannelsColumnLocalImagePath = "LocalImagePath";

// PodcastGroups (4)
inline constexpr const char* MediaDBPodcastGroupsColumnNID = "NID";
inline constexpr const char* MediaDBPodcastGroupsColumnSortOrder = "SortOrder";
inline constexpr const char* MediaDBPodcastGroupsColumnName = "Name";
inline constexpr const char* MediaDBPodcastGroupsColumnDescription = "Description";

// PodcastMedias (16)
inline constexpr const char* MediaDBPodcastMediasColumnNID = "NID";
inline constexpr const char* MediaDBPodcastMediasColumnPostNID = "PostNID";
inline constexpr const char* MediaDBPodcastMediasColumnDuration = "Duration";
inline constexpr const char* MediaDBPodcastMediasColumnUrl = "Url";
inline constexpr const char* MediaDBPodcastMediasColumnLength = "Length";
inline constexpr const char* MediaDBPodcastMediasColumnType = "Type";
inline constexpr const char* MediaDBPodcastMediasColumnFilePath = "FilePath";
inline constexpr const char* MediaDBPodcastMediasColumnDetailMediaType = "DetailMediaType";
inline constexpr const char* MediaDBPodcastMediasColumnDetailMediaTypeString = "DetailMediaTypeString";
inline constexpr const char* MediaDBPodcastMediasColumnDRMProperty = "DRMProperty";
inline constexpr const char* MediaDBPodcastMediasColumnBitrate = "Bitrate";
inline constexpr const char* MediaDBPodcastMediasColumnSamplingRate = "SamplingRate";
inline constexpr const char* MediaDBPodcastMediasColumnAudioCodec = "AudioCodec";
inline constexpr const char* MediaDBPodcastMediasColumnVideoCodec = "VideoCodec";
inline constexpr const char* MediaDBPodcastMediasColumnDownloadDate = "DownloadDate";
inline constexpr const char* MediaDBPodcastMediasColumnLastPlayDate = "LastPlayDate";

// PodcastPosts (14)
inline constexpr const char* MediaDBPodcastPostsColumnNID = "NID";
inline constexpr const char* MediaDBPodcastPostsColumnChannelURL = "ChannelURL";
inline constexpr const char* MediaDBPodcastPostsColumnTitle = "Title";
inline constexpr const char* MediaDBPodcastPostsColumnSubTitle = "SubTitle";
inline constexpr const char* MediaDBPodcastPostsColumnDescription = "Description";
inline constexpr const char* MediaDBPodcastPostsColumnAuthor = "Author";
inline constexpr const char* MediaDBPodcastPostsColumnSummary = "Summary";
inline constexpr const char* MediaDBPodcastPostsColumnKeywords = "Keywords";
inline constexpr const char* MediaDBPodcastPostsColumnLink = "Link";
inline constexpr const char* MediaDBPodcastPostsColumnGuid = "Guid";
inline constexpr const char* MediaDBPodcastPostsColumnPublishDate = "PublishDate";
inline constexpr const char* MediaDBPodcastPostsColumnStatus = "Status";
inline constexpr const char* MediaDBPodcastPostsColumnRating = "Rating";
inline constexpr const char* MediaDBPodcastPostsColumnViewDownloadComplete = "ViewDownloadComplete";

// One declared key, for code that walks all of them.
struct MediaDBKey {
  std::string_view family;  // "Common", "Music", ...
  std::string_view name;    // the constant's name, e.g. "MediaDBMusicColumnTitle"
  std::string_view value;   // the key itself, e.g. "Title"
};

// Every key, by family, in declared order.
std::span<const MediaDBKey> allMediaDBKeys();

}  // namespace corvane::media
