// Identifiers of the main window's controls and menu items. Each control's Qt object
// name is its identifier as decimal text, so tests find controls by these numbers.
#pragma once

namespace ids {

constexpr int MainDialog = 101;
constexpr int AppIcon = 102;

constexpr int EqBand100 = 50;
constexpr int EqBand3k = 51;
constexpr int EqBand12k = 52;
constexpr int ReverbSlider = 53;
constexpr int VolumeSlider = 54;

constexpr int TrackList = 1002;
constexpr int AddFolderButton = 1003;
constexpr int PlayPauseButton = 1004;
constexpr int NextButton = 1005;
constexpr int MainMenu = 1007;
constexpr int MenuExit = 1008;
constexpr int PositionSlider = 1010;
constexpr int LeftMeter = 1011;
constexpr int RightMeter = 1012;
constexpr int TitleLine = 1013;
constexpr int BookTabs = 1014;
constexpr int MenuAddFolder = 1015;
constexpr int PreviousButton = 1016;
constexpr int FirstButton = 1017;
constexpr int LastButton = 1018;
constexpr int CaptionLine = 1021;
constexpr int AboutDialog = 1023;
constexpr int MenuAbout = 1024;
constexpr int AboutIcon = 1025;
constexpr int MenuRemainingTime = 1026;
constexpr int StatusBar = 1028;
constexpr int MenuSleepTimer = 1031;
constexpr int SleepDialog = 1032;
constexpr int SleepOkButton = 1033;
constexpr int SleepMinutesEdit = 1034;
constexpr int AboutVersionText = 1035;
// Listening speed: the eight fixed speeds in MainWindow::speedChoices order, then the steps.
constexpr int MenuSpeedFirst = 1040;
constexpr int MenuSpeedFaster = 1048;
constexpr int MenuSpeedSlower = 1049;
// Listening options (checkable).
constexpr int MenuSmartRewind = 1050;
constexpr int MenuLevelLoudness = 1051;
constexpr int MenuShortenPauses = 1052;
// Playback menu: play/pause and the jumps back and forward in the book.
constexpr int MenuPlayPause = 1060;
constexpr int MenuJumpBack = 1061;
constexpr int MenuJumpForward = 1062;
// The sleep timer's other kinds, beside MenuSleepTimer.
constexpr int MenuPauseTimer = 1070;
constexpr int MenuPauseAtChapterEnd = 1071;
constexpr int MenuCancelTimer = 1072;

// Icon resources.
constexpr int IconPlay = 1019;  // shown while paused
constexpr int IconPause = 1020; // shown while playing
constexpr int IconNext = 1021;
constexpr int IconPrevious = 1022;
constexpr int IconFirst = 1029;
constexpr int IconLast = 1030;

} // namespace ids
