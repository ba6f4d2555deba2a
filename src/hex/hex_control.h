// Intel HEX tools: read a HEX file into a table of its records, print
// records, and write a record table out as C source.
//
// The readers keep every record as written: its 16-bit load offset, its type
// and its data. Extended address records (types 2 to 4) are stored like any
// other record and are not applied to the offsets of later records; no flat
// memory image is built. Record checksums are not evaluated.
//
// Accepted text: the first character is ':', every record is followed by
// exactly two line-end characters (CR LF; the two are not examined) and the
// next record starts right after them. A record holds at most 16 data bytes
// and a type from 0 to 4; parsing ends at the first end-of-file record
// (type 1), which must be complete up to its checksum characters. Characters
// that are not hex digits inside a record read as 0. Anything else, including
// text that ends before an end-of-file record, is HEX_RET_WRONG_FILE_TYPE.
#pragma once

#include <cstdint>

// One record as read from the file.
struct INTEL_HEX_RECORD {
  uint8_t nByte_count;   // number of data bytes, 0 to 16
  uint16_t nAddress;     // load offset as written in the file
  uint8_t nRecord_type;  // 0 data, 1 end of file, 2 to 4 address records
  uint8_t aData[16];     // only the first nByte_count bytes are meaningful
};

// Summary kept by hex_file_to_mem; every counter wraps modulo 65536.
struct INTEL_HEX_RECORD_INFO {
  uint16_t nRecord_cournt;  // line-feed characters in the whole file
  uint16_t nTotal_bytes;    // sum of nByte_count over all records read
  uint16_t nLast_address;   // largest nAddress + nByte_count seen, in 16 bits
};

// What hex_file_to_mem hands back. The caller owns it, the summary and the
// record table; hex_file_release frees all three.
struct INTEL_HEX_FILE {
  INTEL_HEX_RECORD_INFO* pInfo;
  INTEL_HEX_RECORD* pRecords;
};

// Result codes of hex_file_to_mem.
constexpr int HEX_RET_OK = 1;                // end-of-file record reached
constexpr int HEX_RET_NO_HEX_FILE = 2;       // the file cannot be opened
constexpr int HEX_RET_WRONG_FILE_TYPE = 3;   // the text is not accepted
constexpr int HEX_RET_WRONG_FILE_SIZE = 4;   // not produced by the readers
constexpr int HEX_RET_MEMORY_FAULT = 5;      // a memory request failed
constexpr int HEX_RET_READ_FILE_FAILED = 6;  // fewer bytes read than the file's size
constexpr int HEX_RET_WRONG_CHKSUM = 7;      // not produced: checksums are not checked

// Reads the HEX file at `path`. With HEX_RET_OK, *ppHexFile points to the
// records (in file order, ending with the end-of-file record) and their
// summary. With any other code *ppHexFile is null and nothing is kept. Prints
// "- Opening %s failed.\n" when the file cannot be opened; every other
// failure is reported by the code alone (see hex_print_error_msg).
int hex_file_to_mem(INTEL_HEX_FILE** ppHexFile, const char* path);

// Same parsing as hex_file_to_mem without the summary. Returns 1 with
// *ppRecords pointing to the record table (release it with
// hex_records_release), or prints one failure line, sets *ppRecords to null
// and returns 0.
int hex_getHexRecordFromFile(INTEL_HEX_RECORD** ppRecords, const char* path);

// Frees what hex_file_to_mem handed back; null is ignored.
void hex_file_release(INTEL_HEX_FILE* pHexFile);
// Frees a record table from hex_getHexRecordFromFile; null is ignored.
void hex_records_release(INTEL_HEX_RECORD* pRecords);

// Prints "%04X " of the offset, " %02X" for each data byte, and a line end.
void hex_print_record(const INTEL_HEX_RECORD* pRecord);
// Prints an empty line, the leading data records of a table up to the first
// record of another type (none when the table starts with another type), and
// another empty line. The table must hold a record of another type after its
// data records, as every table from the readers does.
void hex_print_all(const INTEL_HEX_RECORD* pRecords);
// Prints "  HEX file Error : " followed by the name of a result code.
void hex_print_error_msg(int code);

// Writes the table, up to and including its first end-of-file record, and the
// summary as C source to `path`; every line ends in CR LF. Both C objects are
// named after the file name without its directory and its last two
// characters ("out/fw.c" gives fw_info and fw). Returns 0 when written, or
// prints " Openning C file failed\n" as a line and returns -1 when the file
// cannot be created or its name leaves no object name (fewer than three
// characters). A write that fails (a full disk) prints " Writing C file
// failed\n" as a line and returns -1 as well.
int hex_mem_to_cfile(const INTEL_HEX_RECORD* pRecords, const INTEL_HEX_RECORD_INFO* pInfo, const char* path);
