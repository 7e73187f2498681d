// Mouse and keyboard input of the main window and the actions behind it.
#pragma once

#include "common/WinHandles.h"

#include <optional>
#include <string>

#include "ui/Layout.h"

namespace ui {

// Handles painting, erasing, sizing, keys, the 100 ms timer and mouse input.
// Returns false (not handled) for every message while the artwork is missing.
bool HandleUiMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

// Whether the element can be used now.
bool IsElementEnabled(ElementId id);

// Carries out the element's action (nothing when disabled or no session exists).
void PerformElementAction(HWND window, ElementId id);

// AnnouncementsOrigin of ".\Server.ini", or the website link as strict UTF-8
// with control characters replaced by blanks.
std::wstring ReadLinkOrigin();

// The parts of a usable link origin: an http or https URL with a host and
// without user name or password.
struct LinkOrigin {
  std::wstring host;
  unsigned short port = 0;
  bool secure = false;
};
// The origin's parts, or nullopt when it is not a usable link origin.
std::optional<LinkOrigin> CrackLinkOrigin(const std::wstring& origin);

// Origin cut back to scheme and authority, followed by path; empty when the
// origin is not a plain http(s) URL with a host and without credentials.
std::wstring ComposeLinkUrl(const std::wstring& path);

// Number of running Vantrell.exe processes; 3 when the list cannot be taken.
unsigned CountRunningClients();

// Start (button or Enter): checks the client limit, marks the start pending and
// lets the background scheduler start the guard after a clean pass.
void RequestGameStart();

// Starts ORVEXGuard.exe in the client folder and hides the window; a message
// box when it cannot be started.
void StartGuard();

// Start of the game client after the guard succeeded.
void StartGameClient(HWND window);

// 250 ms launch watch: the guard's exit and the starting game.
void RunLaunchWatch(HWND window);

}  // namespace ui
