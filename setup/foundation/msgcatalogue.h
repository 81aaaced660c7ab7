// The message catalogue: one table per language, read from the UTF-16 message files among
// the program's resources, with a default and a current language.
//
// A message file is UTF-16LE with the byte-order mark; each line is the decimal id, one TAB
// or blank, and the text up to the line end (CR, LF and U+001A end lines; empty lines are
// skipped). "\n" and "\r" in a text stand for LF and CR.
#pragma once

#include "foundation/dorqobject.h"
#include "foundation/fileutil.h"

#include <stddef.h>
#include <stdint.h>

// One message line.
struct MsgEntry {
    int32_t id;           // 0 for a line that defines nothing
    const wchar_t* text;  // into the table's file copy; null for a line that defines nothing
    int32_t length;       // units of text
};

// One language's message table.
class clMsgObject : public clDorqObject {
public:
    clMsgObject() = default;
    ~clMsgObject() override;

    // Builds the table from message file data that follows the byte-order mark. A trailing
    // odd byte is ignored. False when memory runs out or bytes is negative.
    bool Load(const void* data, int bytes);
    // The stored text of id, or null.
    const wchar_t* Find(int id) const;
    // The text to show: null for id 0, a missing id or an empty text. A text with escapes or
    // placeholders comes from the expansion buffer and stays valid until the next such
    // GetText on this language; without memory for that it comes unexpanded.
    const wchar_t* GetText(int id);
    // Makes the expansion buffer at least bytes long and zeroes it.
    bool EnsureBuffer(int bytes);
    // True when some line defines an id (a file of only line ends or stray lines does not).
    bool DefinesAnyMessage() const;

    wchar_t* expansionBuffer = nullptr;
    int32_t expansionSize = 0;    // bytes
    MsgEntry* entries = nullptr;  // in file order
    uint32_t entryCount = 0;
    wchar_t* fileText = nullptr;  // the file without the mark, line ends made zeros, and a
                                  // closing zero after the last unit
    uint32_t fileSize = 0;        // bytes of message data copied
    char code[4] = {};            // "ENG", "CHT" ... and a zero
};

// True when text must be expanded: it holds a "\" or "%" that is not one of a doubled pair.
bool HasEscapes(const wchar_t* text);
// Copies source to destination with "\n" as LF and "\r" as CR; returns the units written
// (the destination is zero-terminated and never longer than the source).
int ExpandEscapes(const wchar_t* source, wchar_t* destination);

// The catalogue. Built once at start-up and kept until the process ends.
extern clDorqObjectList* LanguageList;  // owns the tables, in loading order
extern clMsgObject* DefaultLanguage;    // English, else the first table loaded
extern clMsgObject* CurrentLanguage;    // the language of the user interface

// The language slots in loading order: code and message file resource.
struct LanguageSlot {
    const char* code;
    uint16_t resourceId;
};
constexpr int LanguageSlotCount = 31;
extern const LanguageSlot LanguageSlots[LanguageSlotCount];

// Reads one message file into a new table appended to LanguageList; null when the resource
// is missing, is no message file, defines no message, or memory runs out.
clMsgObject* LoadLanguageFile(int resourceId, const char* code);
clMsgObject* LoadLanguageFileFrom(BinResSource source, int resourceId, const char* code);
// Builds the catalogue from every slot present and makes the system's language current
// (English or the first table when it has none). False only when the list itself cannot be
// made; no language at all still gives true.
bool CreateMsgCatalogue();
bool CreateMsgCatalogueFrom(BinResSource source, const char* systemCode);

// The text of id in the current language, else in the default one, else null.
const wchar_t* MessageText(int id);
// The code of the current language, else of the default one; null without a catalogue.
const char* CurrentLanguageCode();
void SetCurrentLanguage(clMsgObject* language);
// Makes the first table whose code equals the first three bytes of code current (case
// matters); false and no change when there is none.
bool SelectLanguageByCode(const char* code);
// The language's own name from the system's locale data, in a buffer that the next call
// overwrites; null when the system knows none.
const wchar_t* NativeLanguageName(const char* code);
bool HasSeveralLanguages();

// Tests only: deletes the catalogue so that the next test builds a fresh one. The program
// keeps its catalogue until it ends.
void ResetMsgCatalogue();

// The allocator of file copies, entry arrays and expansion buffers (malloc unless a test
// replaces it); returns the previous one. Blocks are freed with free.
typedef void* (*MsgAllocFn)(size_t bytes);
MsgAllocFn SetMsgAllocator(MsgAllocFn alloc);
