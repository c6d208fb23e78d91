// libtomcrypt's math descriptor over TomsFastMath (libtfm).
//
// Debian's libtomcrypt carries descriptors for libtommath and GMP only, so
// this file supplies the TomsFastMath one. Each entry maps one libtomcrypt
// operation onto the fp_* call that does it. TomsFastMath numbers have a
// fixed capacity and the library truncates silently where it would
// overflow; the entries that take numbers from outside (byte strings, radix
// texts, powers of two, random numbers) refuse anything larger than half of
// that capacity, so that no product can exceed it.
#include "session/tfm_desc.h"

#if !MIF_HAVE_LTC_TFM_DESC

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <tfm.h>
}

namespace {

static_assert(sizeof(fp_digit) == sizeof(ltc_mp_digit),
              "libtomcrypt and TomsFastMath must agree on the digit size");

// The largest number of bits an operand may have.
constexpr int MAX_OPERAND_BITS = FP_MAX_SIZE / 2;
constexpr unsigned long MAX_OPERAND_BYTES = MAX_OPERAND_BITS / 8;
constexpr int MAX_OPERAND_DIGITS = MAX_OPERAND_BITS / DIGIT_BIT;

int toLtcError(int fpError)
{
    switch (fpError) {
    case FP_OKAY:
        return CRYPT_OK;
    case FP_MEM:
        return CRYPT_MEM;
    default:
        return CRYPT_INVALID_ARG;
    }
}

int toLtcCompare(int fpCompare)
{
    return fpCompare == FP_LT ? LTC_MP_LT : fpCompare == FP_GT ? LTC_MP_GT : LTC_MP_EQ;
}

// fp_int has no length field: its size is fixed by FP_MAX_SIZE when libtfm
// is compiled. A header that disagrees with the library would make every
// call write past the numbers we allocate, so the library's own report of
// its sizes is checked once before the first number is made.
int identValue(const char *ident, const char *key)
{
    const char *at = std::strstr(ident, key);
    return at ? std::atoi(at + std::strlen(key)) : -1;
}

bool libraryMatchesHeader()
{
    static const bool matches = [] {
        const char *ident = fp_ident();
        return ident && identValue(ident, "FP_MAX_SIZE = ") == FP_MAX_SIZE &&
               identValue(ident, "fp_digit = ") == static_cast<int>(sizeof(fp_digit));
    }();
    return matches;
}

fp_int *num(void *a)
{
    return static_cast<fp_int *>(a);
}

int init(void **a)
{
    if (!a)
        return CRYPT_INVALID_ARG;
    *a = nullptr;
    if (!libraryMatchesHeader())
        return CRYPT_ERROR;
    auto *n = static_cast<fp_int *>(std::calloc(1, sizeof(fp_int)));
    if (!n)
        return CRYPT_MEM;
    fp_init(n);
    *a = n;
    return CRYPT_OK;
}

void deinit(void *a)
{
    if (!a)
        return;
    // Numbers hold private-key material (d, p, q, blinding values).
    explicit_bzero(a, sizeof(fp_int));
    std::free(a);
}

int copy(void *src, void *dst)
{
    fp_copy(num(src), num(dst));
    return CRYPT_OK;
}

int initCopy(void **dst, void *src)
{
    int err = init(dst);
    if (err != CRYPT_OK)
        return err;
    return copy(src, *dst);
}

int neg(void *src, void *dst)
{
    fp_neg(num(src), num(dst));
    return CRYPT_OK;
}

int setInt(void *a, ltc_mp_digit n)
{
    fp_set(num(a), static_cast<fp_digit>(n));
    return CRYPT_OK;
}

unsigned long getInt(void *a)
{
    fp_int *n = num(a);
    return n->used > 0 ? static_cast<unsigned long>(n->dp[0]) : 0;
}

ltc_mp_digit getDigit(void *a, int i)
{
    fp_int *n = num(a);
    return i >= 0 && i < n->used ? n->dp[i] : 0;
}

int getDigitCount(void *a)
{
    return num(a)->used;
}

int compare(void *a, void *b)
{
    return toLtcCompare(fp_cmp(num(a), num(b)));
}

int compareDigit(void *a, ltc_mp_digit b)
{
    return toLtcCompare(fp_cmp_d(num(a), static_cast<fp_digit>(b)));
}

int countBits(void *a)
{
    return fp_count_bits(num(a));
}

int countLsbBits(void *a)
{
    return fp_cnt_lsb(num(a));
}

int twoExpt(void *a, int n)
{
    if (n < 0 || n >= MAX_OPERAND_BITS)
        return CRYPT_INVALID_ARG;
    fp_2expt(num(a), n);
    return CRYPT_OK;
}

// Bits one digit of the radix can carry, rounded up.
int bitsPerRadixDigit(int radix)
{
    int bits = 0;
    while ((1 << bits) < radix)
        ++bits;
    return bits;
}

int readRadix(void *a, const char *text, int radix)
{
    if (!text || radix < 2 || radix > 64)
        return CRYPT_INVALID_ARG;
    const char *digits = text;
    if (*digits == '-')
        ++digits;
    while (*digits == '0')
        ++digits;
    if (std::strlen(digits) * bitsPerRadixDigit(radix) > static_cast<size_t>(MAX_OPERAND_BITS))
        return CRYPT_INVALID_ARG;
    return toLtcError(fp_read_radix(num(a), text, radix));
}

int writeRadix(void *a, char *text, int radix)
{
    if (!text || radix < 2 || radix > 64)
        return CRYPT_INVALID_ARG;
    return toLtcError(fp_toradix(num(a), text, radix));
}

unsigned long unsignedSize(void *a)
{
    return static_cast<unsigned long>(fp_unsigned_bin_size(num(a)));
}

int unsignedWrite(void *src, unsigned char *dst)
{
    fp_to_unsigned_bin(num(src), dst);
    return CRYPT_OK;
}

int unsignedRead(void *dst, unsigned char *src, unsigned long length)
{
    // Leading zero bytes (a signature or a DER integer padded to the modulus
    // size) do not count against the capacity.
    while (length > 0 && *src == 0) {
        ++src;
        --length;
    }
    if (length > MAX_OPERAND_BYTES)
        return CRYPT_INVALID_ARG;
    fp_read_unsigned_bin(num(dst), src, static_cast<int>(length));
    return CRYPT_OK;
}

int add(void *a, void *b, void *c)
{
    fp_add(num(a), num(b), num(c));
    return CRYPT_OK;
}

int addDigit(void *a, ltc_mp_digit b, void *c)
{
    fp_add_d(num(a), static_cast<fp_digit>(b), num(c));
    return CRYPT_OK;
}

int sub(void *a, void *b, void *c)
{
    fp_sub(num(a), num(b), num(c));
    return CRYPT_OK;
}

int subDigit(void *a, ltc_mp_digit b, void *c)
{
    fp_sub_d(num(a), static_cast<fp_digit>(b), num(c));
    return CRYPT_OK;
}

int mul(void *a, void *b, void *c)
{
    fp_mul(num(a), num(b), num(c));
    return CRYPT_OK;
}

int mulDigit(void *a, ltc_mp_digit b, void *c)
{
    fp_mul_d(num(a), static_cast<fp_digit>(b), num(c));
    return CRYPT_OK;
}

int sqr(void *a, void *b)
{
    fp_sqr(num(a), num(b));
    return CRYPT_OK;
}

// Quotient and remainder; either destination may be null.
int divide(void *a, void *b, void *c, void *d)
{
    return toLtcError(fp_div(num(a), num(b), num(c), num(d)));
}

int div2(void *a, void *b)
{
    fp_div_2(num(a), num(b));
    return CRYPT_OK;
}

int modDigit(void *a, ltc_mp_digit b, ltc_mp_digit *c)
{
    fp_digit rest = 0;
    int err = toLtcError(fp_mod_d(num(a), static_cast<fp_digit>(b), &rest));
    if (err == CRYPT_OK && c)
        *c = rest;
    return err;
}

int gcd(void *a, void *b, void *c)
{
    fp_gcd(num(a), num(b), num(c));
    return CRYPT_OK;
}

int lcm(void *a, void *b, void *c)
{
    fp_lcm(num(a), num(b), num(c));
    return CRYPT_OK;
}

int mulMod(void *a, void *b, void *c, void *d)
{
    return toLtcError(fp_mulmod(num(a), num(b), num(c), num(d)));
}

int sqrMod(void *a, void *b, void *c)
{
    return toLtcError(fp_sqrmod(num(a), num(b), num(c)));
}

int invMod(void *a, void *b, void *c)
{
    return toLtcError(fp_invmod(num(a), num(b), num(c)));
}

int addMod(void *a, void *b, void *c, void *d)
{
    return toLtcError(fp_addmod(num(a), num(b), num(c), num(d)));
}

int subMod(void *a, void *b, void *c, void *d)
{
    return toLtcError(fp_submod(num(a), num(b), num(c), num(d)));
}

int montgomerySetup(void *a, void **b)
{
    if (!b)
        return CRYPT_INVALID_ARG;
    *b = nullptr;
    auto *rho = static_cast<fp_digit *>(std::calloc(1, sizeof(fp_digit)));
    if (!rho)
        return CRYPT_MEM;
    int err = toLtcError(fp_montgomery_setup(num(a), rho));
    if (err != CRYPT_OK) {
        std::free(rho);
        return err;
    }
    *b = rho;
    return CRYPT_OK;
}

int montgomeryNormalization(void *a, void *b)
{
    fp_montgomery_calc_normalization(num(a), num(b));
    return CRYPT_OK;
}

int montgomeryReduce(void *a, void *b, void *c)
{
    fp_montgomery_reduce(num(a), num(b), *static_cast<fp_digit *>(c));
    return CRYPT_OK;
}

void montgomeryDeinit(void *a)
{
    std::free(a);
}

// Montgomery exponentiation: the modulus must be odd (RSA moduli and primes
// are); an even one is refused with CRYPT_INVALID_ARG.
int exptMod(void *a, void *b, void *c, void *d)
{
    return toLtcError(fp_exptmod(num(a), num(b), num(c), num(d)));
}

// One Miller-Rabin round of n (odd, > 2^22) to a random base in [2, n - 2].
int millerRabinRound(fp_int *n, bool *probablyPrime)
{
    fp_int nMinus1, odd, rest, base, y;
    fp_init(&nMinus1);
    fp_init(&odd);
    fp_init(&rest);
    fp_init(&base);
    fp_init(&y);
    fp_sub_d(n, 1, &nMinus1);
    int twos = fp_cnt_lsb(&nMinus1);
    fp_div_2d(&nMinus1, twos, &odd, &rest);

    unsigned char bytes[MAX_OPERAND_BYTES];
    int length = fp_unsigned_bin_size(n);
    if (rng_get_bytes(bytes, static_cast<unsigned long>(length), nullptr) != static_cast<unsigned long>(length))
        return CRYPT_ERROR_READPRNG;
    fp_read_unsigned_bin(&base, bytes, length);
    fp_sub_d(n, 3, &y);
    fp_mod(&base, &y, &base);
    fp_add_d(&base, 2, &base);

    int err = fp_exptmod(&base, &odd, n, &y);
    if (err != FP_OKAY)
        return toLtcError(err);
    *probablyPrime = fp_cmp_d(&y, 1) == FP_EQ || fp_cmp(&y, &nMinus1) == FP_EQ;
    for (int i = 1; i < twos && !*probablyPrime; ++i) {
        if ((err = fp_sqrmod(&y, n, &y)) != FP_OKAY)
            return toLtcError(err);
        if (fp_cmp_d(&y, 1) == FP_EQ)
            break;
        *probablyPrime = fp_cmp(&y, &nMinus1) == FP_EQ;
    }
    return CRYPT_OK;
}

// Debian's libtfm exports only fp_isprime: trial division by the first 256
// primes and eight Miller-Rabin rounds to fixed small bases. It calls 2
// composite and 1 prime, and known composites pass its fixed bases. Small
// numbers are therefore decided here by trial division, and the rounds asked
// for beyond those eight use random bases.
bool isSmallPrime(uint32_t n)
{
    if (n < 2)
        return false;
    for (uint32_t d = 2; d * d <= n; ++d)
        if (n % d == 0)
            return false;
    return true;
}

int isPrime(void *a, int rounds, int *result)
{
    if (!result)
        return CRYPT_INVALID_ARG;
    *result = LTC_MP_NO;
    fp_int *n = num(a);
    if (n->sign == FP_NEG)
        return CRYPT_OK;
    if (fp_count_bits(n) <= 22) {
        *result = isSmallPrime(n->used ? static_cast<uint32_t>(n->dp[0]) : 0) ? LTC_MP_YES : LTC_MP_NO;
        return CRYPT_OK;
    }
    if (fp_isprime(n) != FP_YES)
        return CRYPT_OK;
    if (rounds <= 0)
        rounds = LTC_MILLER_RABIN_REPS;
    for (int i = 8; i < rounds; ++i) {
        bool probablyPrime = false;
        int err = millerRabinRound(n, &probablyPrime);
        if (err != CRYPT_OK)
            return err;
        if (!probablyPrime)
            return CRYPT_OK;
    }
    *result = LTC_MP_YES;
    return CRYPT_OK;
}

// `digits` random digits, the top one non-zero, from libtomcrypt's system
// random source (RSA blinding draws its factors here).
int randomNumber(void *a, int digits)
{
    if (digits <= 0 || digits > MAX_OPERAND_DIGITS)
        return CRYPT_INVALID_ARG;
    unsigned char bytes[MAX_OPERAND_BYTES];
    size_t length = static_cast<size_t>(digits) * sizeof(fp_digit);
    if (rng_get_bytes(bytes, length, nullptr) != length)
        return CRYPT_ERROR_READPRNG;
    // The top digit (the first bytes, big-endian) must not be zero: draw it
    // again until it is not, leaving the other digits as they came.
    auto topIsZero = [&bytes] {
        for (size_t i = 0; i < sizeof(fp_digit); ++i)
            if (bytes[i])
                return false;
        return true;
    };
    while (topIsZero()) {
        if (rng_get_bytes(bytes, sizeof(fp_digit), nullptr) != sizeof(fp_digit))
            return CRYPT_ERROR_READPRNG;
    }
    fp_read_unsigned_bin(num(a), bytes, static_cast<int>(length));
    explicit_bzero(bytes, sizeof(bytes));
    return CRYPT_OK;
}

// The elliptic-curve entries: not provided.
int eccPtMul(void *, ecc_point *, ecc_point *, void *, int)
{
    return CRYPT_ERROR;
}

int eccPtAdd(ecc_point *, ecc_point *, ecc_point *, void *, void *)
{
    return CRYPT_ERROR;
}

int eccPtDbl(ecc_point *, ecc_point *, void *, void *)
{
    return CRYPT_ERROR;
}

int eccMap(ecc_point *, void *, void *)
{
    return CRYPT_ERROR;
}

int eccMul2Add(ecc_point *, void *, ecc_point *, void *, ecc_point *, void *)
{
    return CRYPT_ERROR;
}

}  // namespace

extern "C" const ltc_math_descriptor tfm_desc = {
    .name = "TomsFastMath",
    .bits_per_digit = DIGIT_BIT,
    .init = init,
    .init_copy = initCopy,
    .deinit = deinit,
    .neg = neg,
    .copy = copy,
    .set_int = setInt,
    .get_int = getInt,
    .get_digit = getDigit,
    .get_digit_count = getDigitCount,
    .compare = compare,
    .compare_d = compareDigit,
    .count_bits = countBits,
    .count_lsb_bits = countLsbBits,
    .twoexpt = twoExpt,
    .read_radix = readRadix,
    .write_radix = writeRadix,
    .unsigned_size = unsignedSize,
    .unsigned_write = unsignedWrite,
    .unsigned_read = unsignedRead,
    .add = add,
    .addi = addDigit,
    .sub = sub,
    .subi = subDigit,
    .mul = mul,
    .muli = mulDigit,
    .sqr = sqr,
    .mpdiv = divide,
    .div_2 = div2,
    .modi = modDigit,
    .gcd = gcd,
    .lcm = lcm,
    .mulmod = mulMod,
    .sqrmod = sqrMod,
    .invmod = invMod,
    .montgomery_setup = montgomerySetup,
    .montgomery_normalization = montgomeryNormalization,
    .montgomery_reduce = montgomeryReduce,
    .montgomery_deinit = montgomeryDeinit,
    .exptmod = exptMod,
    .isprime = isPrime,
    .ecc_ptmul = eccPtMul,
    .ecc_ptadd = eccPtAdd,
    .ecc_ptdbl = eccPtDbl,
    .ecc_map = eccMap,
    .ecc_mul2add = eccMul2Add,
    // libtomcrypt's own key generation and RSA exponentiation, running
    // over the entries above (as its built-in descriptors do).
    .rsa_keygen = rsa_make_key,
    .rsa_me = rsa_exptmod,
    .addmod = addMod,
    .submod = subMod,
    .rand = randomNumber,
};

#endif  // !MIF_HAVE_LTC_TFM_DESC
