// Currency codes of money! values: the start-up currency list and the one
// currency lookup that every maker of money! values uses (the lexer's money
// literals, `to money!` of text, the as-money native).
//
// A money! value stores its currency as the 1-based position of the code in
// system/locale/currencies/list, in one payload byte (0: no currency). The
// lookup reads that block when the system object holds it, else the list the
// system object starts with. The lookup allocates nothing, so it may run on
// text that lies in a series buffer.
#pragma once

#include "runtime/cell.h"

namespace oru::money {

constexpr i32 boot_currency_count = 170;
// The index is one payload byte: a code found past this position of a
// longer list cannot be stored, and makers refuse it as an unknown one.
constexpr i32 max_currency_index = 255;

// ORDER CURRENCIES: a money! value stores the position in this list, so
// the order is part of every stored value. The list the system object's
// system/locale/currencies/list starts with.
#define ORU_CURRENCIES(X)                                                                                        \
    X(AED) X(AFN) X(ALL) X(AMD) X(ANG) X(AOA) X(ARS) X(AUD) X(AWG) X(AZN) X(BAM) X(BBD) X(BDT) X(BTC) X(BGN)     \
    X(BHD) X(BIF) X(BMD) X(BND) X(BOB) X(BRL) X(BSD) X(BTN) X(BWP) X(BYN) X(BZD) X(CAD) X(CDF) X(CHF) X(CKD)     \
    X(CLP) X(CNY) X(COP) X(CRC) X(CUC) X(CUP) X(CVE) X(CZK) X(DJF) X(DKK) X(DOP) X(DZD) X(EGP) X(ERN) X(ETB)     \
    X(ETH) X(EUR) X(FJD) X(FKP) X(FOK) X(GBP) X(GEL) X(GGP) X(GHS) X(GIP) X(GMD) X(GNF) X(GTQ) X(GYD) X(HKD)     \
    X(HNL) X(HRK) X(HTG) X(HUF) X(IDR) X(ILS) X(IMP) X(INR) X(IQD) X(IRR) X(ISK) X(JEP) X(JMD) X(JOD) X(JPY)     \
    X(KES) X(KGS) X(KHR) X(KID) X(KMF) X(KPW) X(KRW) X(KWD) X(KYD) X(KZT) X(LAK) X(LBP) X(LKR) X(LRD) X(LSL)     \
    X(LYD) X(MAD) X(MDL) X(MGA) X(MKD) X(MMK) X(MNT) X(MOP) X(MRU) X(MUR) X(MVR) X(MWK) X(MXN) X(MYR) X(MZN)     \
    X(NAD) X(NGN) X(NIO) X(NOK) X(NPR) X(NZD) X(OMR) X(PAB) X(PEN) X(PGK) X(PHP) X(PKR) X(PLN) X(PND) X(PRB)     \
    X(PYG) X(QAR) X(ORU) X(RON) X(RSD) X(RUB) X(RWF) X(SAR) X(SBD) X(SCR) X(SDG) X(SEK) X(SGD) X(SHP) X(SLL)     \
    X(SLS) X(SOS) X(SRD) X(SSP) X(STN) X(SYP) X(SZL) X(THB) X(TJS) X(TMT) X(TND) X(TOP) X(TRY) X(TTD) X(TVD)     \
    X(TWD) X(TZS) X(UAH) X(UGX) X(USD) X(UYU) X(UZS) X(VES) X(VND) X(VUV) X(WST) X(CFA) X(XAF) X(XCD) X(XOF)     \
    X(CFP) X(XPF) X(YER) X(ZAR) X(ZMW)

// The codes of the start-up list, in list order.
extern const char* const boot_currencies[boot_currency_count];

// The 1-based position of the code [code, code + n) in
// system/locale/currencies/list when the system object holds that block
// (its words of any kind, compared by name without regard to ASCII case,
// which is how their canonical symbols match), else in the start-up list;
// -1 when absent. A position above max_currency_index is returned as found:
// makers of values refuse it.
i32 find_currency(const u8* code, i32 n);
// The same for a word (any word kind) by its name.
i32 find_currency(const Cell& word);

// The code at a 1-based position: the name of that word of
// system/locale/currencies/list when the system object holds the block and
// the position is in it, else the start-up list's code. Writes at most
// `room` bytes (no terminator) and returns their count; 0 when neither list
// has the position. Allocates nothing.
i32 currency_code(i32 index, char* out, i32 room);

// When set, replaces the lookup above for every maker (a system object that
// keeps its list elsewhere installs it); null by default.
extern i32 (*lookup)(const u8* code, i32 n);

}  // namespace oru::money
