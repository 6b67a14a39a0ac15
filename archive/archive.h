// SPDX-License-Identifier: Apache-2.0
// The job archive: naming the ".RUD" file, creating it with its directories, and
// completing its header at the end of the job.
#pragma once

#include "core/records.h"

#define DOCUMENT_NAME_CHARS 256

// Working buffers of the naming, in UTF-16 characters. The path buffer holds the
// longest composition (a 256-character directory, a backslash, a 255-character name,
// two digits and ".RUD") many times over.
#define ARCHIVE_PATH_CHARS 1024
#define ARCHIVE_NAME_CHARS 256
#define ARCHIVE_NUMBER_CHARS 512
// The longest unnumbered path accepted, without its terminator.
#define ARCHIVE_PATH_LIMIT 255
// Numbered names "00" to "99".
#define ARCHIVE_NUMBERED_NAMES 100
// Candidates of a name: the explicit name, the plain document name, then the numbers
// 0 to ARCHIVE_NUMBERED_NAMES - 1.
#define ARCHIVE_EXPLICIT_NAME (-2)
#define ARCHIVE_PLAIN_NAME (-1)
// The directory prefixes handed to CreateDirectoryW, terminator included.
#define ARCHIVE_PREFIX_CHARS 256

// ShowArchiveWarning() - Shows one of the archive's fixed warning texts: no owner window,
// no caption, the warning icon. Blocks the job's write until the user closes the box.
void ShowArchiveWarning(const WCHAR* text);

// GetJobDocumentName() - Fills documentName (DOCUMENT_NAME_CHARS characters, zero-filled
// by the caller) with the job's document name from the spooler; TRUE when it now holds a
// non-empty name.
BOOL GetJobDocumentName(HANDLE printer, DWORD jobId, WCHAR* documentName);

// ArchiveFileExists() - TRUE when a file of the path can be opened for reading while
// others may only read it. A file held open for writing elsewhere (another job's archive)
// counts as free.
BOOL ArchiveFileExists(const WCHAR* path);

// ReplaceFileNameChars() - Copies the text of source (read within sourceChars characters)
// into destination (destinationChars characters), each character that is not allowed in a
// file name replaced by its full-width look-alike; cut to destinationChars - 1 and
// terminated.
void ReplaceFileNameChars(const WCHAR* source, size_t sourceChars, WCHAR* destination,
                          size_t destinationChars);

// ChooseArchivePath() - Chooses the archive path from the ArchiveLocationRecord's
// directory and fileName fields and the settled document name (read within
// DOCUMENT_NAME_CHARS characters). Returns a GlobalAlloc'ed buffer of ARCHIVE_PATH_CHARS
// characters that the caller releases with GlobalFree, or NULL after whatever warning the
// case calls for.
WCHAR* ChooseArchivePath(const WCHAR* directory, const WCHAR* fileName,
                         const WCHAR* documentName);

// ChooseArchivePathFrom() - ChooseArchivePath that starts the choice of a document name
// at *candidate (a number, once a name chosen before was taken by another job meanwhile)
// and leaves the chosen candidate there: ARCHIVE_EXPLICIT_NAME, ARCHIVE_PLAIN_NAME or the
// number.
WCHAR* ChooseArchivePathFrom(const WCHAR* directory, const WCHAR* fileName,
                             const WCHAR* documentName, int* candidate);

// OpenArchiveFile() - Chooses the path, creates the file and writes header at its start.
// directory and fileName are ArchiveLocationRecord fields, documentName a text of at most
// DOCUMENT_NAME_CHARS characters; none needs a terminator within its field. Returns the
// file positioned behind the header, or INVALID_HANDLE_VALUE. A generated name that
// another job took after its existence test gives way to the next free number; a file
// whose header cannot be put at its start whole is removed again (creation warning).
// Missing directories of the directory field are created when the path is not found;
// directories that another job creates at the same moment count as created, and a UNC
// directory is walked from behind its \\server\share\.
HANDLE OpenArchiveFile(const WCHAR* directory, const WCHAR* fileName, const WCHAR* documentName,
                       const ArchiveHeaderRecord* header);

// FinishArchiveFile() - Puts the final page count into header, rewrites it over the file's
// start and closes the file; *file is marked invalid afterwards. Nothing happens for an
// invalid *file.
void FinishArchiveFile(HANDLE* file, ArchiveHeaderRecord* header, uint32_t pageCount);
