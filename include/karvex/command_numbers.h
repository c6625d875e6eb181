#ifndef KARVEX_COMMAND_NUMBERS_H
#define KARVEX_COMMAND_NUMBERS_H
/* The command numbers a host passes to the invoice call (FiscalMakeInv, karvex_FiscalMakeInv) and the
   print-data call (GetPrintInv, karvex_GetPrintInv). They are the processor's own command codes; the library
   checks at build time that they agree with its command table. Usable from C and C++. */

#define KARVEX_COMMAND_ISSUE 0x34             /* issue an invoice */
#define KARVEX_COMMAND_RETURN 0x35            /* return (credit) an invoice */
#define KARVEX_COMMAND_INVOICE_BY_NUMBER 0x42 /* print data of the invoice with a given number */
#define KARVEX_COMMAND_LAST_INVOICE 0xB1      /* print data of the last invoice */

#endif
