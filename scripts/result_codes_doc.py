#!/usr/bin/env python3
"""Writes docs/result-codes.md from the library's message table (src/link/result_codes.cpp) and the English
glosses below, or with --check fails when the document, the table and the glosses disagree (a code added to
the table without a gloss, or a message changed without the document). Either way it fails when a code named
in src/convert/result_values.h has no message.

    python3 scripts/result_codes_doc.py            # rewrite docs/result-codes.md
    python3 scripts/result_codes_doc.py --check    # what the tests run
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = os.path.join(ROOT, "src", "link", "result_codes.cpp")
VALUES = os.path.join(ROOT, "src", "convert", "result_values.h")
DOC = os.path.join(ROOT, "docs", "result-codes.md")

# For integrators who do not read Chinese; the Chinese message is what the library shows.
GLOSS = {
    "kCompactDestinationExists": "compaction failed: the destination file already exists",
    0: "success",
    1: "tax-control card: power-on error",
    2: "user card: power-on error",
    3: "tax administration card: power-on error",
    4: "no user card",
    5: "no tax-control card",
    6: "no tax administration card",
    7: "tax-control card: read error",
    8: "user card: read error",
    9: "tax administration card: read error",
    10: "tax-control card: write error",
    11: "user card: write error",
    12: "tax administration card: write error",
    13: "invalid tax-control card",
    14: "invalid user card",
    15: "invalid tax administration card",
    16: "processor not initialised",
    17: "past the last invoicing date",
    18: "over the single-invoice amount limit",
    19: "over the cumulative invoicing limit",
    20: "over the cumulative return limit",
    21: "tax-control card registration differs from the processor's",
    22: "user card: MAC check failed",
    23: "tax-control card: MAC check failed",
    24: "PIN check failed",
    25: "invalid tax item",
    26: "declaration end date is after today",
    27: "declaration end date is before the last declaration",
    28: "user card locked",
    29: "tax-control card locked",
    30: "processor already initialised",
    31: "wrong check digit",
    32: "wrong command type",
    33: "wrong packet header",
    34: "wrong packet length",
    35: "invoices used up",
    36: "invoice memory fault",
    37: "fiscal memory fault",
    38: "time, date or value overflow",
    39: "tax-control card already registered",
    40: "card full: change the card",
    41: "no distributed unused invoice numbers",
    42: "no invoices distributed on the user card",
    43: "invalid branch (分户) number",
    44: "no data for this invoice number",
    45: "this invoice has already been returned",
    46: "this invoice has already been voided",
    47: "not on line",
    48: "no record",
    49: "no declaration data",
    50: "no such data",
    51: "this card has already been read for tax",
    52: "the tax-control card already holds invoices",
    53: "tax-control card password lost",
    54: "this card has already been cleared",
    55: "IC card power-on failed",
    56: "IC card power-on TCK check error",
    57: "IC card has no TCK",
    58: "protocol not supported",
    59: "IC card time-out",
    60: "invalid tax reading card",
    61: "invalid tax clearing card",
    62: "returned invoice content does not match",
    63: "the tax declaration date has come",
    64: "processor used over five years: locked",
    91: "store object could not be opened (the message names the path and the reason)",
    96: "byte array shorter than the conversion's start",
    97: "byte array shorter than the conversion's end",
    98: "character below 32: not printable",
    99: "character 32 to 159: invalid",
    100: "half of a Chinese character",
    101: "text ends in half a Chinese character",
    102: "number overflow",
    103: "text longer than its fixed-width field",
    104: "empty text where bytes are needed",
    105: "non-digit in a number",
    106: "non-hexadecimal character",
    107: "character other than digits and a decimal point",
    108: "character other than digits and blanks",
    109: "character other than digits, point, blanks and a-f",
    110: "number above 0xFFFFFFFF",
    111: "character other than digits, point and blanks",
    128: "time-out: no answer from the processor",
    129: "answer of the wrong length",
    130: "answer failed its CRC check",
    131: "command stopped by the user",
    132: "no open serial port",
    133: "serial device disconnected",
    134: "not provided by this build",
    135: "the processor refused with an unknown code",
    136: "another command is still running",
    137: "the answer does not belong to the command sent; refused",
    138: "sale id already used for a sale with other content",
    139: "no sale with this sale id in the journal",
    140: "the store is in use by another program",
    141: "current invoice number below the one recorded",
    142: "disk full: nothing was saved",
    143: "sale outcome unknown (the processor cannot be asked); nothing that changes the processor is sent until it is settled",
    144: "empty text",
    145: "the processor returned a wrong self-test item",
    146: "value above 255",
    147: "wrong invoice number",
    148: "invoice number above 0xFFFFFFFF",
    149: "current invoice number is not the previous one plus one",
    150: "current invoice number not found in the store",
    151: "data to be signed missing from the store",
    152: "request does not fit the interface",
    153: "token missing or wrong: access refused",
    154: "request too large",
    155: "no such endpoint or resource",
    156: "export file cannot be written",
    160: "after issuing, the store holds no current record",
    161: "invoice data not found in the store",
    162: "the store table is empty",
    163: "one goods line exceeds the single-invoice limit",
    164: "goods quantity is 0",
    165: "wrong unit price",
    166: "wrong amount",
    167: "goods tax item may not be 0",
    168: "wrong number of goods lines (1 to 6)",
    169: "cannot connect or log in to the central database",
    170: "central database not initialised or of another version",
    171: "the central database refused a row; sync stopped",
    172: "central database address invalid or carries a password",
    173: "machine number unknown: bring the processor on line first",
    174: "connection to the central database lost; batch not committed",
    175: "the central database refused a sync statement",
    176: "PLU name empty",
    177: "PLU number empty",
    178: "PLU stock wrong",
    179: "PLU price 1 wrong",
    180: "PLU price 1 empty",
    181: "PLU price 2 wrong",
    182: "PLU number duplicated",
    183: "PLU number too long",
    184: "the processor holds invoices the sales journal never made (a restored, replaced or new store): recorded as made elsewhere",
    192: "unsafe data directory: another user owns it, or others may write it",
    193: "a link, not a plain file, or another user's file: refused",
    194: "the store holds an object Karvex never made (a planted trigger, view or table): refused",
    195: "no usable data directory: set KARVEX_DATA_DIR",
    196: "the store key file cannot be made or read",
    208: "the central database did not answer in time; sync attempt given up",
    209: "sync stopped; rows not committed stay in the outbox",
    210: "another sync is already sending this store's outbox",
    211: "the central database's answer is not what was expected; sync attempt given up",
    212: "register login or machine number invalid",
    224: "a goods line's tax index outside 1 to 9",
    228: "request frame length not the command's; nothing sent",
    229: "command not sent by this kind of caller; nothing sent",
    256: "wrong date: year",
    257: "date text of the wrong length",
    258: "wrong date",
    512: "wrong date: month",
    768: "wrong date: year and month",
    1024: "wrong date: day",
    1280: "wrong date: year and day",
    1536: "wrong date: month and day",
    1792: "wrong date: year, month and day",
    3021: "cannot move the cursor in an empty table",
    3075: "query condition malformed",
    3265: "no such field in the table",
    3464: "data type mismatch",
    4096: "no record matches",
    4097: "restore failed",
    4098: "execution failed",
    4099: "setting failed",
    4100: "self-test failed",
    4128: "command started (under way)",
    4129: "command stopped by the user",
    8002: "serial device does not exist",
    8005: "serial port busy or no permission",
    8015: "serial port cannot be opened",
}


def read_table():
    """[(code or constant name, numeric code, message)] in the table's order."""
    with open(TABLE, encoding="utf-8") as f:
        text = f.read()
    with open(VALUES, encoding="utf-8") as f:
        values = f.read()
    body = text[text.index("kMessages"):]
    body = body[:body.index("});")]
    rows = []
    for key, message in re.findall(r'\{\s*(result::\w+|-?\d+)\s*,\s*"((?:[^"\\]|\\.)*)"\s*\}', body):
        if key.startswith("result::"):
            name = key[len("result::"):]
            m = re.search(r"\b" + name + r"\s*=\s*static_cast<ResultCode>\((0x[0-9A-Fa-f]+)u\)", values)
            number = int(m.group(1), 16) - (1 << 32) if m else None
            rows.append((name, number, message))
        else:
            rows.append((int(key), int(key), message))
    return rows


def render(rows):
    out = ["# Result codes", "",
           "Every method of the control returns one of these codes; `Description` shows \"0x\", the code in",
           "hexadecimal, \"：\" and the Chinese message. 1 to 64 are the processor's own refusals (\"ER\" answers); the",
           "rest are the library's. The English gloss is for integrators; the Chinese message is what the library",
           "shows. Made from `src/link/result_codes.cpp` by `scripts/result_codes_doc.py`.", "",
           "| code | hex | message | meaning |", "|---:|---|---|---|"]
    for key, number, message in rows:
        gloss = GLOSS[key]
        hexa = "%X" % (number & 0xFFFFFFFF) if number is not None else "?"
        shown = message.strip().replace("|", "\\|")
        out.append("| %s | 0x%s | %s | %s |" % (number, hexa, shown, gloss))
    out += ["", "Two database codes have messages of their own outside the table: -1879313943 (0x8FFBF1E9, "
            "\"压缩数据库失败，_bak数据库已经存在\",", "compaction failed: a _bak store already exists) and -2147467259 "
            "(0x80004005, a duplicate key: the store refused", "a change that would duplicate a unique value)."]
    return "\n".join(out) + "\n"


# Named codes that never end a call, so they have no message: the link's steps between the frames of one
# command.
NOT_RESULTS = {"kChainContinues", "kAnswerNextCommand", "kAnswerKeepWaiting"}
# Codes whose message is composed outside the table (the two database codes named at the end of the document).
OUTSIDE_TABLE = {"kBackupStoreExists", "kDuplicateKey"}


def unshown_names(rows):
    """Names of src/convert/result_values.h whose code the message table lacks."""
    with open(VALUES, encoding="utf-8") as f:
        values = f.read()
    numbers = {number for _, number, _ in rows}
    keys = {key for key, _, _ in rows}
    unshown = []
    for name, value in re.findall(r"inline constexpr ResultCode (k\w+)\s*=\s*([^;]+);", values):
        if name in NOT_RESULTS or name in OUTSIDE_TABLE or name in keys:
            continue
        if not re.fullmatch(r"-?\d+", value.strip()) or int(value) not in numbers:
            unshown.append(name)
    return unshown


def main():
    rows = read_table()
    missing = [str(key) for key, _, _ in rows if key not in GLOSS]
    if missing:
        sys.exit("result_codes_doc: no English gloss for " + ", ".join(missing))
    unshown = unshown_names(rows)
    if unshown:
        sys.exit("result_codes_doc: no message in src/link/result_codes.cpp for " + ", ".join(unshown))
    text = render(rows)
    if "--check" in sys.argv[1:]:
        with open(DOC, encoding="utf-8") as f:
            if f.read() != text:
                sys.exit("result_codes_doc: docs/result-codes.md is out of date; run scripts/result_codes_doc.py")
        print("docs/result-codes.md lists all %d codes" % len(rows))
        return
    with open(DOC, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
