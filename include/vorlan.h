/*
 * libVorlan: usage analytics for desktop and server applications.
 *
 * The one public header. Valid C and C++. Every function returns a status
 * code: 0 on success, a negative KEST_E_* value on failure. Out pointers are
 * cleared before anything else happens; texts handed out are owned by the
 * caller and released with the C library's free().
 */
#ifndef VORLAN_H
#define VORLAN_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define VORLAN_API __attribute__((visibility("default")))
#else
#define VORLAN_API
#endif

/*
 * Every status code, its symbolic name and its message text, in one list.
 * KestGetErrorMsg() returns the text. X(name, value, text).
 */
#define VORLAN_STATUS_LIST(X)                                                  \
  X(KEST_OK, 0, "No Error")                                                    \
  X(KEST_E_MEMORY, -1001, "Memory error")                                      \
  X(KEST_E_INVALID_PARAMETER, -1012, "Invalid parameter to routine")           \
  X(KEST_E_ALREADY_OPEN, -1074, "library already initialized")                 \
  X(KEST_E_PARAMS_XML, -1075, "XML corrupt or invalid")                        \
  X(KEST_E_KVA_NOT_OPEN, -1076, "KVA library not initialized")                 \
  X(KEST_E_PRIVACY, -1080, "Can't complete due to privacy set")                \
  X(KEST_E_NOT_ACTIVATED, -1085, "Neither KVA nor KVL activated")              \
  X(KEST_E_KVA_MUTEX, -1147, "Mutex creation failed")                          \
  X(KEST_E_CIPHER_MEMORY, -2000, "memory error")                               \
  X(KEST_E_CIPHER_KEY, -2016, "invalid key")                                   \
  X(KEST_E_CIPHER_TOO_LONG, -2018, "Plain text too long")                      \
  X(KEST_E_CIPHER_EMPTY, -2022, "encrypt or decrypt data empty")               \
  X(KEST_E_CIPHER_DATA, -2900, "A data error occurred")                        \
  X(KEST_E_RT_MEMORY, -3000, "Memory error")                                   \
  X(KEST_E_FILE_WRITE, -3003, "File write error")                              \
  X(KEST_E_DIR_CREATE, -3017, "Directory create failure")                      \
  X(KEST_E_DIR_NOT_FOUND, -3020, "Directory not found")                        \
  X(KEST_E_THREAD_CREATE, -3027, "thread creation")                            \
  X(KEST_E_LOCATION_INVALID, -3039, "Missing or invalid location information") \
  X(KEST_E_LOG_FILE, -3042, "Missing or invalid log file")                     \
  X(KEST_E_LOG_LOCK, -3043, "Error locking log file")                          \
  X(KEST_E_LOG_UNLOCK, -3044, "Error unlocking log file")                      \
  X(KEST_E_POOL_CANCEL, -3045, "Error deleting jobs from pool")                \
  X(KEST_E_QUEUE_MISSING, -3047, "Thread queue missing")                       \
  X(KEST_E_QUEUE, -3048, "Job queue error")                                    \
  X(KEST_E_COUNTRY_CODE, -3053, "Invalid country code")                        \
  X(KEST_E_SUBSYSTEM, -3057, "Library subsystem failure")                      \
  X(KEST_E_LOG_HEADER, -3058, "Invalid log header")                            \
  X(KEST_E_FILE_LOCK, -3059, "File lock error")                                \
  X(KEST_E_FILE_UNLOCK, -3060, "File unlock error")                            \
  X(KEST_E_RT_MUTEX, -3062, "Mutex creation failed")                           \
  X(KEST_E_XML_COPY, -3064, "Copy of XML data failed")                         \
  X(KEST_E_INVALID_GROUP, -3072, "Invalid group specified")                    \
  X(KEST_E_XML_SET, -3073, "Attempt to set xml failed")                        \
  X(KEST_E_LOG_WRITE, -3077, "Log file write error")                           \
  X(KEST_E_LOG_OPEN, -3078, "Log file open error")                             \
  X(KEST_E_LOG_SEEK, -3079, "Log file seek error")                             \
  X(KEST_E_LOG_START, -3080, "Log file header error")                          \
  X(KEST_E_SYSINFO_EXISTS, -3081, "SysInfo already exists")                    \
  X(KEST_E_QUEUE_FULL, -3088, "Thread job queue full")                         \
  X(KEST_E_COMMAND_NOT_FOUND, -3514, "Linux command not found")                \
  X(KEST_E_COMMAND_FAILED, -3641, "System command failed")                     \
  X(KEST_E_MISSING_CHAR, -3648, "String missing char")                         \
  X(KEST_E_EMPTY_VALUE, -3650, "Empty value")                                  \
  X(KEST_E_ENCRYPTION, -3651, "Encryption error")                              \
  X(KEST_E_INVALID_UTF8, -3655, "Invalid UTF8 encoding")                       \
  X(KEST_E_SOAP_MEMORY, -4001, "memory error")                                 \
  X(KEST_E_SERVER_XML, -4006, "Server returned invalid XML")                   \
  X(KEST_E_SERVER_FUNCTION, -4007, "Server responded to wrong function")       \
  X(KEST_E_REGISTRATION_XML, -4008, "Invalid registration xml")                \
  X(KEST_E_SOAP_FUNCTION, -4011, "Invalid SOAP function")                      \
  X(KEST_E_JOB_FAILED, -4013, "KVA thread job failed")                         \
  X(KEST_E_CACHE_ACCESS, -4015, "Invalid access to cache file")                \
  X(KEST_E_CACHE_LOCK, -4016, "Cache file lock error")                         \
  X(KEST_E_CACHE_UNLOCK, -4017, "Cache file unlock error")                     \
  X(KEST_E_CACHE_OPEN, -4018, "Cache file open failure")                       \
  X(KEST_E_CACHE_TRUNCATE, -4019, "Cache file truncation error")               \
  X(KEST_E_CACHE_SEEK, -4020, "Cache file seek error")                         \
  X(KEST_E_CACHE_WRITE, -4021, "Cache file write failure")                     \
  X(KEST_E_CACHE_READ, -4022, "Cache file read failure")                       \
  X(KEST_E_CACHE_XML, -4023, "XML corrupt or invalid")                         \
  X(KEST_E_CACHE_LOCATION, -4024, "Location information missing")              \
  X(KEST_E_RECORD_MUTEX, -4025, "Mutex creation failed")                       \
  X(KEST_E_CACHE_MUTEX, -4026, "Mutex Lock error")                             \
  X(KEST_E_CACHE_TOO_SMALL, -4027, "Cache file too small")                     \
  X(KEST_E_CACHE_CORRUPT, -4028, "Cache file corrupt")                         \
  X(KEST_E_SERVER_INTERNAL, -4037, "Internal use")                             \
  X(KEST_E_SERVER_NO_INFO, -4038, "Server errored but did not return info")    \
  X(KEST_E_SERVER_FAILURE, -4200, "SOAP failure")                              \
  X(KEST_E_SERVER_SOAP_DATA, -4201, "SOAP invalid soap data")                  \
  X(KEST_E_SERVER_PRODUCT_ID, -4204, "SOAP product ID invalid")                \
  X(KEST_E_SERVER_CUSTOMER_ID, -4205, "SOAP customer ID invalid")              \
  X(KEST_E_SERVER_DATE, -4207, "SOAP date invalid")                            \
  X(KEST_E_SERVER_DB, -4208, "SOAP DB error")                                  \
  X(KEST_E_SERVER_IP, -4209, "SOAP cannot get IP address")                     \
  X(KEST_E_SERVER_IDS, -4210, "SOAP invalid prodID or custID")                 \
  X(KEST_E_NET_INIT, -4300, "SOAP Network initialization failed")              \
  X(KEST_E_NET_URL, -4301, "SOAP Invalid URL specified")                       \
  X(KEST_E_NET_PROXY, -4302, "SOAP Proxy can't be resolved")                   \
  X(KEST_E_NET_HOST, -4303, "SOAP Host can't be resolved")                     \
  X(KEST_E_NET_CONNECT, -4304, "SOAP Couldn't connect to host")                \
  X(KEST_E_NET_WRITE, -4305, "SOAP Network write error")                       \
  X(KEST_E_NET_READ, -4306, "SOAP Network read error")                         \
  X(KEST_E_NET_MEMORY, -4307, "SOAP Memory error")                             \
  X(KEST_E_NET_TIMEOUT, -4308, "SOAP Connection timed out")                    \
  X(KEST_E_NET_EMPTY, -4309, "SOAP Empty response from server")                \
  X(KEST_E_NET_SEND, -4310, "SOAP Network send error")                         \
  X(KEST_E_NET_RECV, -4311, "SOAP Network receive error")                      \
  X(KEST_E_NET_FILESIZE, -4312, "SOAP Network filesize error")                 \
  X(KEST_E_XML_MEMORY, -6000, "Memory error")                                  \
  X(KEST_E_XML_LOOKUP, -6003, "Lookup of tag failed")                          \
  X(KEST_E_XML_READ, -6008, "XML file read error")                             \
  X(KEST_E_XML_WRITE, -6009, "XML file write error")                           \
  X(KEST_E_XML_CONVERT, -6010, "XML type conversion failed")                   \
  X(KEST_E_XML_MUTEX, -6011, "Mutex creation failed")                          \
  X(KEST_E_XML_OPEN, -6013, "XML file open error")                             \
  X(KEST_E_XML_LOCK, -6014, "XML file lock failed")                            \
  X(KEST_E_XML_UNLOCK, -6015, "XML file unlock failed")                        \
  X(KEST_E_XML_SEEK, -6021, "XML file seek error")                             \
  X(KEST_E_STAMP_MEMORY, -7001, "Memory error")                                \
  X(KEST_E_CONTEXT_MUTEX, -7102, "Mutex creation failed")                      \
  X(KEST_E_STAMP_INVALID, -7115, "Library's stamped values invalid")           \
  X(KEST_E_JNI_MEMORY, -9007, "JNI memory error")                              \
  X(KEST_E_JAVA_MEMORY, -9015, "Java or JNI memory error")                     \
  X(KEST_E_JNI_RANGE, -9017, "Value out of range")                             \
  X(KEST_E_JNI_ALLOC, -9024, "JNI memory error")

#define VORLAN_STATUS_ENUM_(name, value, text) name = (value),
enum KestStatus { VORLAN_STATUS_LIST(VORLAN_STATUS_ENUM_) };
#undef VORLAN_STATUS_ENUM_

/*
 * Transfer errors of the HTTP client without a text of their own are
 * reported as KEST_E_TRANSFER_FIRST minus the client's error number, down to
 * KEST_E_TRANSFER_LAST; their message is "SOAP transmission error N\n".
 */
enum { KEST_E_TRANSFER_FIRST = -4400, KEST_E_TRANSFER_LAST = -4498 };

/* Handle of a log; internal to the library. Pass NULL where one is asked. */
typedef struct LogContext LogContext;

/*
 * Opens the library for this process with an XML parameter document (UTF-8,
 * or NULL for the frame alone with every default). KEST_E_ALREADY_OPEN when
 * already open. After a failure the library is not open and may be opened
 * again. Call from one thread, not concurrently with any other function.
 */
VORLAN_API int KestLibOpen(const char* params_xml);

/* Closes the library. KEST_E_NOT_ACTIVATED when it is not open. */
VORLAN_API int KestLibClose(void);

/*
 * Builds the path of a file in the work directory: the directory, "/", the
 * file stem of this build and `suffix` (for example ".log"). *path receives
 * a new text; release it with free(). KEST_E_STAMP_INVALID when the library
 * is not open.
 */
VORLAN_API int KestGetFilepath(const char* suffix, char** path);

/*
 * *version receives a new text "Library Version: V KVA: V". A NULL
 * `version` does nothing and returns 0. `log` may be NULL.
 */
VORLAN_API int ReturnVersion(char** version, LogContext* log);

/*
 * *message receives a new text for `code` ("Invalid Error Code" for codes
 * the library does not know). Needs no open library.
 */
VORLAN_API int KestGetErrorMsg(int code, char** message);

#ifdef __cplusplus
}
#endif

#endif /* VORLAN_H */
