"""Comparing screen pictures whose animated parts move from frame to frame.

A picture is (width, height, rows), each row the bytes of its pixels, three
bytes a pixel (the channel order does not matter as long as both pictures
share it)."""


def differences(a, b, ignored=None):
    """The (row, pixel) places where two pictures of one size differ,
    leaving out the set `ignored`."""
    places = []
    for y, (ra, rb) in enumerate(zip(a[2], b[2])):
        if ra == rb:
            continue
        places.extend((y, x) for x in range(a[0]) if ra[3 * x:3 * x + 3] != rb[3 * x:3 * x + 3]
                      and (ignored is None or (y, x) not in ignored))
    return places


def moving_pixels(pictures, tile=16):
    """The pixels of every tile x tile square in which any of `pictures`
    differ (the animated parts, with room for shapes none of them shows)."""
    width, height = pictures[0][:2]
    tiles = set()
    for other in pictures[1:]:
        tiles.update((y // tile, x // tile) for y, x in differences(pictures[0], other))
    return {(y, x) for ty, tx in tiles
            for y in range(ty * tile, min(height, ty * tile + tile))
            for x in range(tx * tile, min(width, tx * tile + tile))}


# Moments of an animated screen, (frame, listening seconds): between them the
# level bars, needles and every digit of the listening time take other shapes.
MOMENTS = ((0, 0), (9, 1), (17, 2), (30, 13), (45, 24), (91, 59), (150, 3599), (333, 7))
