// Indexed record stores: a few named values kept as the children of one XML
// document, addressed by index through a constant table of fields, guarded
// by a document lock, and optionally kept in a locked, enciphered file that
// several processes share.
//
// Locks: the file lock (held from lockVorlanXML to unlockVorlanXML) comes
// before the document lock; swapVorlanXML takes the target's document lock
// before the source's. Accessors called with lockFlag 1 take the document
// lock for that one access; with 0 the caller holds it or needs none.
#ifndef VORLAN_XML_XMLFILEACCESS_H
#define VORLAN_XML_XMLFILEACCESS_H

#include <apr_file_io.h>
#include <apr_pools.h>
#include <apr_thread_mutex.h>
#include <libxml/tree.h>

#include <cstdint>
#include <optional>
#include <string>

struct LogContext;

namespace vorlan {

struct VorlanXML;

// Getter and setter of one field. `value` points to the field's type: for
// a getter a char* (receiving a malloc() copy), std::uint16_t,
// std::uint32_t, std::int32_t or std::uint64_t; for a setter the text
// itself (const char*, may be null) or a pointer to the number.
using FieldAccessor = int (*)(int lockFlag, VorlanXML* store, xmlNode* start,
                              const char* tag, void* value, LogContext* log);

struct StoreField {
  const char* tag;
  FieldAccessor get;
  FieldAccessor set;
};

// The accessor pairs of the field types.
#define VORLAN_FIELD_ACCESSOR_(name)                                        \
  int name(int lockFlag, VorlanXML* store, xmlNode* start, const char* tag, \
           void* value, LogContext* log)
VORLAN_FIELD_ACCESSOR_(getTextField);
VORLAN_FIELD_ACCESSOR_(setTextField);
VORLAN_FIELD_ACCESSOR_(getUint16Field);
VORLAN_FIELD_ACCESSOR_(setUint16Field);
VORLAN_FIELD_ACCESSOR_(getUint32Field);
VORLAN_FIELD_ACCESSOR_(setUint32Field);
VORLAN_FIELD_ACCESSOR_(getInt32Field);
VORLAN_FIELD_ACCESSOR_(setInt32Field);
VORLAN_FIELD_ACCESSOR_(getUint64Field);
VORLAN_FIELD_ACCESSOR_(setUint64Field);
#undef VORLAN_FIELD_ACCESSOR_

struct VorlanXML {
  apr_pool_t* pool = nullptr;      // the store's own; the locks live in it
  apr_pool_t* filePool = nullptr;  // only while the file is held
  std::optional<std::string> filePath;
  std::string text;  // the serialised document at the last read or write
  apr_file_t* file = nullptr;  // only while the file is held
  apr_thread_mutex_t* docLock = nullptr;
  apr_thread_mutex_t* fileLock = nullptr;
  xmlDoc* doc = nullptr;  // owned; its root's children are the fields
  const StoreField* table = nullptr;
};

// A store without document, path, file or table. 0; -6000 memory; -3000
// when the pool cannot be made; -6011 when a lock cannot be made.
int createVorlanXML(VorlanXML** out, LogContext* log);

// Releases everything, closing a file still held. Null accepted. 0.
int freeVorlanXML(VorlanXML* store, LogContext* log);

// Get and set by index through store->table; the index must be one of the
// table's rows. Get: 0; -6003 no document, missing or empty field (value
// cleared); -6010 not a number (value 0). Set: replaces the first element
// of the tag in place, or appends one to the root; 0 also without a
// document (nothing is stored); -6000 memory.
int getStoreField(int lockFlag, void* value, VorlanXML* store, int index,
                  LogContext* log);
int setStoreField(int lockFlag, void* value, VorlanXML* store, int index,
                  LogContext* log);

// Takes the file lock, opens store->filePath (read and write, created with
// mode 0666 narrowed by the umask; with `exclusiveCreate` 1 it must not
// exist yet) and takes the exclusive advisory lock, waiting for other
// processes. 0 with the file held; -6013 open; -6014 lock; -3000 pool.
// Every failure releases the file lock again.
int lockVorlanXML(int exclusiveCreate, VorlanXML* store, LogContext* log);

// Releases the advisory lock, closes the file and releases the file lock,
// whatever fails. 0; -6015 when no file was held or the unlock failed.
int unlockVorlanXML(VorlanXML* store, LogContext* log);

// With the file held: replaces the document by the file's content,
// deciphered when `encoding` is 1. 0; -6021 seek; -6008 empty, unreadable,
// too large or not parsable; -6000 memory; a cipher code. Afterwards the
// store has no document unless the result is 0.
int readVorlanXML(int encoding, VorlanXML* store, LogContext* log);

// With the file held: replaces the file's content by the document,
// enciphered when `encoding` is 1. 0; -6021 seek or truncate; -6009 write;
// -6000 memory; a cipher code.
int writeVorlanXML(int encoding, VorlanXML* store, LogContext* log);

// Moves the source's document and text into the target, releasing the
// target's. Always 0.
int swapVorlanXML(int lockTarget, int lockSource, VorlanXML* target,
                  VorlanXML* source, LogContext* log);

// The largest store file read; larger files are refused as unreadable.
inline constexpr std::size_t kMaxStoreFileSize = 4 * 1024 * 1024;

}  // namespace vorlan

#endif
