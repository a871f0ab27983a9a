/*
 * openjph_shim: a plain C interface over OpenJPH for encoding and decoding
 * HTJ2K codestreams held in memory.
 *
 * Conventions
 *   - Every codec function returns 0 on success and a non-zero code on
 *     failure; the text of the failure is then available from
 *     ferroglyph_htj2k_last_error() on the same thread.  The newer exports
 *     (components_info, decode_components, encode_components, encode_region,
 *     decode_rows) return a ferroglyph_htj2k_failure; the first three codec
 *     functions keep the numbers they always had, each meaning one of those
 *     kinds (the table below; docs/bridge.md lists the texts of each code).
 *     Callers should use codes for reporting and for telling the kinds
 *     apart, never to parse the text.
 *   - OpenJPH warnings raised during codec calls accumulate, per thread, in
 *     the text returned by ferroglyph_htj2k_last_warnings(), one message per
 *     line, until ferroglyph_htj2k_clear_warnings() empties it.  Messages
 *     that mean lost data (a codestream that ended early, a code-block that
 *     could not be decoded) are reported there too.
 *   - All buffers belong to the caller, except the codestream returned by
 *     ferroglyph_htj2k_encode(), which must be released with
 *     ferroglyph_htj2k_free().
 *   - No C++ exception ever leaves these functions, and the library never
 *     prints.
 *
 * Sample layouts: planar buffers hold C planes of H rows of W samples, so
 * sample (c, r, x) is element c*H*W + r*W + x; interleaved buffers hold
 * pixels of C samples, so sample (c, r, x) is element (r*W + x)*C + c.
 * Elements are 1, 2 or 4 bytes wide, in native byte order, and signed when
 * the image is signed.
 */
#ifndef FERROGLYPH_OPENJPH_SHIM_H
#define FERROGLYPH_OPENJPH_SHIM_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(FERROGLYPH_SHIM_BUILDING)
#    define FERROGLYPH_SHIM_API __declspec(dllexport)
#  else
#    define FERROGLYPH_SHIM_API __declspec(dllimport)
#  endif
#else
#  define FERROGLYPH_SHIM_API __attribute__((visibility("default")))
#endif

/* The most tiles a codestream may have: Isot, the tile index, is 16 bits
 * wide, and OpenJPH refuses larger grids. */
#define FERROGLYPH_HTJ2K_MAX_TILES 65535

/* The most components a codestream may have (Csiz in SIZ). */
#define FERROGLYPH_HTJ2K_MAX_COMPONENTS 16384

#ifdef __cplusplus
extern "C" {
#endif

/* Why a call failed.  Returned as is by the newer exports.
 *
 *   ARGUMENT     the caller's arguments: a null pointer, a value out of
 *                range, buffers or sizes that do not agree with each other
 *                or with the codestream, encode settings that OpenJPH
 *                refuses.
 *   MALFORMED    the codestream cannot be read: OpenJPH refused it, stopped
 *                at one of its internal checks, or a header guard refused a
 *                header that would reach one.
 *   UNSUPPORTED  a well-formed codestream that this OpenJPH cannot decode
 *                correctly (it would deliver wrong samples), or sizes past
 *                what the bridge's 32-bit fields hold.
 *   REDUCTION    the reduction asked for cannot be made (too many levels for
 *                the codestream or a component, a level OpenJPH cannot leave
 *                out, nothing left to decode).
 *   BUFFER       a destination buffer is smaller than the decode needs.
 *   MEMORY       an allocation failed.
 *   INTERNAL     OpenJPH delivered or asked for something it should not
 *                have (rows out of order, an unexpected line type): a fault
 *                of OpenJPH or of the bridge, never of the input.
 *
 * The first three codec functions, by their own numbers:
 *
 *   code  ferroglyph_htj2k_decode_info  ferroglyph_htj2k_decode  ferroglyph_htj2k_encode
 *   1     ARGUMENT                      ARGUMENT (null)          ARGUMENT (null)
 *   2     MALFORMED                     ARGUMENT                 ARGUMENT (settings)
 *   3     -                             BUFFER                   INTERNAL
 *   4     REDUCTION, UNSUPPORTED (size) INTERNAL                 MEMORY
 *   5     -                             MALFORMED                ARGUMENT (OpenJPH's refusal)
 *   6     -                             REDUCTION                -
 *   7     -                             UNSUPPORTED (components) -
 *   8     -                             UNSUPPORTED (NLT)        -
 *
 * For these three, an allocation that fails inside OpenJPH counts with
 * OpenJPH's other exceptions (decode_info 2, decode 5, encode 5).
 *
 * OpenJPH's assertions, which the bridge traps, count as its refusals: of
 * the codestream in a decode (MALFORMED), of the settings in an encode
 * (ARGUMENT; encode 5).
 */
typedef enum ferroglyph_htj2k_failure {
  FERROGLYPH_HTJ2K_ARGUMENT = 1,
  FERROGLYPH_HTJ2K_MALFORMED = 2,
  FERROGLYPH_HTJ2K_UNSUPPORTED = 3,
  FERROGLYPH_HTJ2K_REDUCTION = 4,
  FERROGLYPH_HTJ2K_BUFFER = 5,
  FERROGLYPH_HTJ2K_MEMORY = 6,
  FERROGLYPH_HTJ2K_INTERNAL = 7
} ferroglyph_htj2k_failure;

/* Header facts of a codestream, as reconstructed at a given reduction. */
typedef struct ferroglyph_htj2k_info {
  int32_t width;              /* component 0, after the reduction */
  int32_t height;             /* component 0, after the reduction */
  int32_t components;         /* number of components (SIZ) */
  int32_t bit_depth;          /* precision of component 0 in bits */
  int32_t is_signed;          /* 1 if component 0 is signed */
  int32_t num_decompositions; /* main COD levels: the largest reduction */
  int32_t color_transform;    /* 1 if the main COD enables the transform */
  int32_t nlt_type;           /* NLT type of component 0, 0 for none */
  int32_t uniform;            /* 1 if all components match component 0 */
} ferroglyph_htj2k_info;

/* Encoder settings. */
typedef struct ferroglyph_htj2k_encode_params {
  int32_t width;                 /* > 0 */
  int32_t height;                /* > 0 */
  int32_t components;            /* > 0 */
  int32_t bit_depth;             /* 1..32, within 8 * bytes_per_sample */
  int32_t is_signed;             /* non-zero: signed samples */
  int32_t bytes_per_sample;      /* 1, 2 or 4 */
  int32_t src_planar;            /* non-zero: (C, H, W); zero: (H, W, C) */
  int32_t reversible;            /* non-zero: 5/3 lossless; zero: 9/7 */
  float irrev_delta;             /* 9/7 base step, used when > 0 */
  int32_t qfactor;               /* 9/7 quality 1..100, used when > 0 */
  int32_t num_decomp;            /* < 0: OpenJPH's default (5) */
  int32_t color_transform;       /* non-zero: transform components 0..2 */
  int32_t nlt_binary_complement; /* non-zero: NLT type 3 (float patterns) */
  int32_t tile_w;                /* tiling when tile_w and tile_h > 0 */
  int32_t tile_h;
  int32_t tlm;                   /* non-zero: write a TLM marker */
  int32_t tilepart_resolutions;  /* non-zero: a tile-part per resolution */
  int32_t tilepart_components;   /* non-zero: a tile-part per component */
  int32_t block_w;               /* code-block size when both > 0 */
  int32_t block_h;
  const char* prog_order;        /* "LRCP" "RLCP" "RPCL" "PCRL" "CPRL", or NULL */
  const char* profile;           /* "IMF" "BROADCAST", or NULL */
} ferroglyph_htj2k_encode_params;

/* Where the samples of an encode lie in a larger image.  A codestream coded
 * with a region has its image and tile grid offset at (x0, y0) and its image
 * extent at (x0 + width, y0 + height): with x0 and y0 on tile boundaries of
 * the larger image, its tiles are coded exactly as the larger image's tiles
 * at the same place, so the tile-parts of several such codestreams can be
 * joined under the larger image's main header. */
typedef struct ferroglyph_htj2k_region {
  int32_t x0;           /* >= 0 */
  int32_t y0;           /* >= 0 */
  int64_t row_stride;   /* elements from one row to the next; 0: packed rows */
  int64_t plane_stride; /* planar sources: elements from one component to the
                           next; 0: packed planes */
  int32_t header_only;  /* non-zero: only the main header up to the first
                           tile-part, and no samples read (src may be NULL) */
} ferroglyph_htj2k_region;

/* Reads the main header of the codestream src[0..srcsize) and fills *info
 * for a decode that skips reduce_data resolutions when reading and
 * reduce_recon when reconstructing. */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_decode_info(
    const uint8_t* src, size_t srcsize, int reduce_data, int reduce_recon,
    int resilient, ferroglyph_htj2k_info* info);

/* Decodes the codestream into dst, which must hold at least
 * components * width * height * bytes_per_sample bytes (the sizes that
 * ferroglyph_htj2k_decode_info reports for the same reduction). */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_decode(
    const uint8_t* src, size_t srcsize, uint8_t* dst, size_t dst_size,
    int bytes_per_sample, int reduce_data, int reduce_recon, int resilient,
    int dst_planar);

/* Encodes the samples at src as described by *p.  On success *out_buf is a
 * malloc'd codestream of *out_size bytes, owned by the caller. */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_encode(
    const uint8_t* src, const ferroglyph_htj2k_encode_params* p,
    uint8_t** out_buf, size_t* out_size);

/* Encodes like ferroglyph_htj2k_encode, the samples at src being the part
 * of a larger image that *r describes (width and height in *p are those of
 * the part).  With a profile and no header_only, the profile's settings are
 * applied without its checks, which refuse any offset: the tile-parts are
 * those of the larger image; check the profile with a header_only call. */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_encode_region(
    const uint8_t* src, const ferroglyph_htj2k_encode_params* p,
    const ferroglyph_htj2k_region* r, uint8_t** out_buf, size_t* out_size);

/* Releases a codestream returned by ferroglyph_htj2k_encode or
 * ferroglyph_htj2k_encode_region. */
FERROGLYPH_SHIM_API void ferroglyph_htj2k_free(void* buf);

/* The calling thread's last failure text ("" if none yet). */
FERROGLYPH_SHIM_API const char* ferroglyph_htj2k_last_error(void);

/* The calling thread's collected warnings, joined by '\n' ("" if none). */
FERROGLYPH_SHIM_API const char* ferroglyph_htj2k_last_warnings(void);

/* Empties the calling thread's collected warnings. */
FERROGLYPH_SHIM_API void ferroglyph_htj2k_clear_warnings(void);

/* 1 when one line of the collected warnings means that samples were lost or
 * left wrong (a codestream that ended early, a tile or code-block skipped,
 * zeroed or decoded in part), else 0.  The bridge keeps OpenJPH's
 * information messages by the same rule. */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_means_data_loss(const char* line);

/* Components at their own sizes and precisions
 *
 * The functions above handle codestreams whose components all share the
 * size, precision, signedness and nonlinearity of component 0 (decode
 * refuses others with its code 7).  These three handle any set of components (YCbCr 4:2:2 and
 * 4:2:0, mixed precisions), with one caller buffer per component, each
 * holding that component's rows of samples one after the other.
 */

/* Facts of one component, as reconstructed at a given reduction. */
typedef struct ferroglyph_htj2k_component_info {
  int32_t width;      /* samples per row, after the reduction */
  int32_t height;     /* rows, after the reduction */
  int32_t dx;         /* horizontal subsampling factor (XRsiz), 1..255 */
  int32_t dy;         /* vertical subsampling factor (YRsiz), 1..255 */
  int32_t bit_depth;  /* precision in bits */
  int32_t is_signed;  /* 1 if signed */
  int32_t nlt_type;   /* NLT type, 0 for none */
} ferroglyph_htj2k_component_info;

/* One component's samples for ferroglyph_htj2k_encode_components. */
typedef struct ferroglyph_htj2k_component_params {
  int32_t width;            /* ceil(image width / dx) */
  int32_t height;           /* ceil(image height / dy) */
  int32_t dx;               /* subsampling factors, 1..255 */
  int32_t dy;
  int32_t bit_depth;        /* 1..32, within 8 * bytes_per_sample */
  int32_t is_signed;        /* non-zero: signed samples */
  int32_t bytes_per_sample; /* 1, 2 or 4 */
} ferroglyph_htj2k_component_params;

/* Reads the main header and sets *components to the number of components;
 * fills comps[0 .. min(capacity, *components)) for a decode that skips
 * reduce_data resolutions when reading and reduce_recon when
 * reconstructing.  A reduction that leaves any component without samples
 * is refused. */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_components_info(
    const uint8_t* src, size_t srcsize, int reduce_data, int reduce_recon,
    int resilient, ferroglyph_htj2k_component_info* comps, int capacity,
    int* components);

/* Decodes every component c into dsts[c], which must hold at least
 * width * height * bytes_per_sample[c] bytes of that component (the sizes
 * ferroglyph_htj2k_components_info reports for the same reduction);
 * `components` must equal the codestream's component count. */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_decode_components(
    const uint8_t* src, size_t srcsize, uint8_t* const* dsts,
    const size_t* dst_sizes, const int32_t* bytes_per_sample, int components,
    int reduce_data, int reduce_recon, int resilient);

/* Encodes p->components components, component c from srcs[c] as comps[c]
 * describes it.  p->width and p->height give the image (the reference
 * grid); p->bit_depth, p->is_signed, p->bytes_per_sample and p->src_planar
 * are not used, and p->nlt_binary_complement must be 0.  The component
 * transform is refused when any component is subsampled.  On success
 * *out_buf is a malloc'd codestream of *out_size bytes, released with
 * ferroglyph_htj2k_free. */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_encode_components(
    const uint8_t* const* srcs, const ferroglyph_htj2k_component_params* comps,
    const ferroglyph_htj2k_encode_params* p, uint8_t** out_buf,
    size_t* out_size);

/* A window of a one-tile decode
 *
 * Decodes rows row0..row1-1 and columns col0..col1-1 (at the reduction,
 * counted from the image's top-left sample) of a codestream whose
 * components all share component 0's size, precision, signedness and
 * nonlinearity, into dst: (row1 - row0) x (col1 - col0) samples a component,
 * planar or interleaved as in ferroglyph_htj2k_decode.  OpenJPH decodes
 * whole rows, so every column is decoded, but rows below row1 are not.
 * Returns a ferroglyph_htj2k_failure: ARGUMENT for a window that is empty
 * or runs past the image at the reduction. */
FERROGLYPH_SHIM_API int ferroglyph_htj2k_decode_rows(
    const uint8_t* src, size_t srcsize, uint8_t* dst, size_t dst_size,
    int bytes_per_sample, int reduce_data, int reduce_recon, int resilient,
    int dst_planar, int32_t row0, int32_t row1, int32_t col0, int32_t col1);

#ifdef __cplusplus
}
#endif

#endif /* FERROGLYPH_OPENJPH_SHIM_H */
