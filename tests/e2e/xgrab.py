"""Grabs a rectangle of an X screen into a PNG file, in this process.

ImageMagick's import costs a tenth of a CPU-second per grab, most of it its
own start-up; the scenario suite grabs the window every second in several
runs side by side, beside a build. This asks the X server for the rectangle
alone (XGetImage through libX11) and writes the PNG with zlib. Equal pixels
give equal files: the PNG holds no time or other varying chunk.
"""
import ctypes
import ctypes.util
import struct
import zlib


class _XImage(ctypes.Structure):
    # The fields of Xlib's XImage up to the function table.
    _fields_ = [('width', ctypes.c_int), ('height', ctypes.c_int), ('xoffset', ctypes.c_int),
                ('format', ctypes.c_int), ('data', ctypes.POINTER(ctypes.c_ubyte)),
                ('byte_order', ctypes.c_int), ('bitmap_unit', ctypes.c_int),
                ('bitmap_bit_order', ctypes.c_int), ('bitmap_pad', ctypes.c_int),
                ('depth', ctypes.c_int), ('bytes_per_line', ctypes.c_int),
                ('bits_per_pixel', ctypes.c_int), ('red_mask', ctypes.c_ulong),
                ('green_mask', ctypes.c_ulong), ('blue_mask', ctypes.c_ulong),
                ('obdata', ctypes.c_void_p),
                ('create_image', ctypes.c_void_p),
                ('destroy_image', ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p))]


_ZPIXMAP = 2
_LSB_FIRST = 0


def _chunk(kind, data):
    return (struct.pack('>I', len(data)) + kind + data
            + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))


def png_bytes(width, height, rows):
    """A PNG of 8-bit RGB rows (bytes of width * 3 each)."""
    raw = b''.join(b'\x00' + row for row in rows)
    return (b'\x89PNG\r\n\x1a\n'
            + _chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0))
            + _chunk(b'IDAT', zlib.compress(raw, 6)) + _chunk(b'IEND', b''))


class Grabber:
    """One connection to an X display; grab() as often as needed, then close().
    Raises OSError when libX11 or the display cannot be had."""

    def __init__(self, display):
        name = ctypes.util.find_library('X11')
        if not name:
            raise OSError('no libX11')
        x = ctypes.CDLL(name)
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XDefaultRootWindow.restype = ctypes.c_ulong
        x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x.XGetImage.restype = ctypes.POINTER(_XImage)
        x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self._x = x
        self._display = x.XOpenDisplay(display.encode())
        if not self._display:
            raise OSError('cannot open display %s' % display)
        self._root = x.XDefaultRootWindow(self._display)

    def grab(self, path, left, top, width, height):
        """Writes that rectangle of the screen to `path` as a PNG; False when
        the server gave no image (the rectangle is off the screen)."""
        image = self._x.XGetImage(self._display, self._root, left, top, width, height,
                                  0xFFFFFFFF, _ZPIXMAP)
        if not image:
            return False
        try:
            im = image.contents
            if im.bits_per_pixel != 32 or im.byte_order != _LSB_FIRST:
                return False
            stride = im.bytes_per_line
            data = ctypes.string_at(im.data, stride * height)
        finally:
            image.contents.destroy_image(ctypes.cast(image, ctypes.c_void_p))
        rows = []
        for y in range(height):
            line = data[y * stride:y * stride + width * 4]
            rgb = bytearray(width * 3)
            rgb[0::3] = line[2::4]
            rgb[1::3] = line[1::4]
            rgb[2::3] = line[0::4]
            rows.append(bytes(rgb))
        with open(path, 'wb') as f:
            f.write(png_bytes(width, height, rows))
        return True

    def close(self):
        if self._display:
            self._x.XCloseDisplay(self._display)
            self._display = None
