/* Resource identifiers of Velmorandix.exe, shared by the resource script and
   the code. Plain C preprocessor only: the resource compiler reads it. */
#ifndef VELMORANDIX_RESOURCE_IDS_H
#define VELMORANDIX_RESOURCE_IDS_H

#define IDS_WINDOW_TITLE 103 /* "Velmorandix" */
#define IDI_LARGE 107        /* one 256x256 32-bit image */
#define IDI_SMALL 108        /* 48, 32 and 16 pixels, 32-bit */
#define IDS_WINDOW_CLASS 109 /* "VELMORANDIX" */
#define IDR_FONT_BOLD 132    /* Ubuntu Bold, BINARY */
#define IDR_FONT_REGULAR 134 /* Ubuntu Regular, BINARY */

#endif
