/*
 * value - registers as numbers and numbers as registers, apart from any
 * line: the types a value may have, the orders in which devices put the
 * words and bytes of a value of two or four registers, a value shown in
 * decimal (a float in the fewest digits that read back as the same value),
 * and a value given as TYPE:VALUE turned into the bytes it goes out as.
 * No I/O, no heap, no state.
 *
 * A register goes out as Modbus sends it, high byte first. A value of two
 * or four registers has its bytes where the order puts them: naming where
 * the bytes of 0xAABBCCDD stand on the line, abcd (high word first, as a
 * register goes), cdab (the words in reverse order), badc (each word's two
 * bytes swapped), dcba (all the bytes in reverse); 8-byte values follow the
 * same rule over their four words.
 */
#ifndef VALUE_H
#define VALUE_H

enum class vtype : unsigned char { u16, s16, hex, u32, s32, f32, u64, s64, f64, text, bit, none };
enum class order : unsigned char { abcd, cdab, badc, dcba, none };

/* -d's TYPE and -o's ORDER by name, such as f32 and cdab: none for what is not one. */
vtype typearg(const char *s);
order orderarg(const char *s);
const char *typeword(vtype t);

/* v in decimal at p: where the digits end (20 at most). */
char *decimal(char *p, unsigned long long v);

/* How many registers a value of type t takes: 1, 2 or 4; 0 for text (all, as one) and bit. */
int registers(vtype t);

/*
 * Shows at p the value of type t whose bytes stand at b, 2 a register, in
 * the order o (which u16, s16 and hex do not follow), in decimal, hex as
 * four lowercase digits: where the text ends (at most 32 characters). A
 * float is shown in the fewest digits that read back as exactly the same
 * value, in fixed or exponent form, whichever is shorter (25.5, 0.1,
 * -2.5e-07, 3.4028235e+38, -0), or as nan, inf or -inf; an f32 in the
 * digits of an f32, never those of the f64 it is widened to.
 */
char *showvalue(char *p, vtype t, order o, const unsigned char *b);

/*
 * Shows at p the n bytes b as text: ASCII, a byte outside 0x20 to 0x7e as
 * \x and two lowercase hex digits, a backslash as \\; NULs at the end left
 * out. Where the text ends (at most 4n characters).
 */
char *showtext(char *p, const unsigned char *b, int n);

/*
 * The argument arg as TYPE:VALUE (u16, s16, u32, s32, f32, u64, s64 or f64,
 * then a decimal integer, or for f32 and f64 a decimal), put at out in the
 * order o as the value's 2, 4 or 8 bytes: how many. A float is taken at the
 * nearest value of its type, however small. 0 for arg with no colon, which
 * is no value; -1 for one that is not, with the reason in why (size bytes):
 * an unknown type, no value, a value that does not fit its type (s16:40000,
 * u32:1.5, f32:1e39, f32:abc).
 */
int valuearg(const char *arg, order o, unsigned char *out, char *why, int size);

/*
 * Whether -d's type t reads the answer to the request req (n bytes without
 * check bytes): 0; or 2 with the reason in why (size bytes), such as "f32
 * takes 2 registers a value: 3 asked". Registers (03, 04, 17) take any type
 * but bit, in a whole number of values; coils and inputs (01, 02) bit.
 */
int readable(vtype t, const unsigned char *req, int n, char *why, int size);

/*
 * Shows at p the values of the answer f (n bytes, a reply that answers req
 * as rtu.h's judge says) to a request that readable takes: a line for each,
 * ADDRESS VALUE, the address of its first register or coil in decimal; text
 * as one line. Where the text ends: at most 20 characters a register, 8 a
 * coil, and 4 a byte of text.
 */
char *showreply(char *p, vtype t, order o, const unsigned char *f, int n, const unsigned char *req);

/*
 * Shows at p, after " =", the values of type t (not bit) that the frame f
 * (n bytes, check bytes included) carries as a bus shows it: the answer to
 * 03, 04 or 17, or the request of 06 or 10; nothing where it carries none,
 * or not a whole number of values. Where the text ends.
 */
char *showframe(char *p, vtype t, order o, const unsigned char *f, int n, bool answer);

#endif
