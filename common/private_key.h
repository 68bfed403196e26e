#pragma once
// Registry keys under HKLM\Software that only SYSTEM and the Administrators
// may change. HKLM\Software lets Power Users create subkeys on XP and 2003,
// so a key of ours that is missing can be made first by someone else, with
// their own owner, values, subkeys or a symbolic link to another tree: such a
// key is never reused, but deleted as itself and made anew. Used by config/
// (the recovery codes' store, written by vyn-recovery) and by the installer's
// actions (tools/setup_actions: the record of the login module it replaced).
// Nothing here logs: each caller logs the failed call in its own form.

#include <windows.h>

#include <vector>

#include "common/handles.h"
#include "common/machine_lock.h"

// The key's owner and DACL, read whole (self-relative).
LONG ReadKeySecurity(HKEY key, std::vector<BYTE>& descriptor, FailedCall& failure);

// True when `key`, opened with REG_OPTION_OPEN_LINK, is a symbolic link
// (it holds a REG_LINK "SymbolicLinkValue").
bool IsKeyLink(HKEY key);

// Gives `key` the owner and the protected access list of `descriptor`.
// Both are set again even on a key just created with them: Windows keeps the
// creation's descriptor whole, Wine drops the protection mark (a list without
// it takes the parent's entries) and replaces the owner when only the list is
// set.
LONG GiveKeySecurity(HKEY key, PSECURITY_DESCRIPTOR descriptor, FailedCall& failure);

// Deletes `name` under `parent` with its subkeys: RegDeleteKeyW removes only
// a key without any, and a key someone else made may have some. Each key is
// opened and deleted as itself (REG_OPTION_OPEN_LINK), never through a
// symbolic link its maker put there: followed, a link would have the
// administrator's tool or the installer delete the tree it points at (a
// service's key under HKLM\SYSTEM, say). ERROR_FILE_NOT_FOUND when there is
// no such key.
LONG DeleteKeyTree(HKEY parent, const wchar_t* name, FailedCall& failure);

// Deletes whatever `name` under `parent` is (DeleteKeyTree), then creates it
// anew, opened with `access`, owned and listed as the SDDL `security` says.
// ERROR_ALREADY_EXISTS (failure naming RegCreateKeyExW) when the creation
// found a key after all: someone made it again in between, and it is theirs.
LONG CreateKeyAnew(HKEY parent, const wchar_t* name, const wchar_t* security, REGSAM access, unique_hkey& key,
                   FailedCall& failure);
