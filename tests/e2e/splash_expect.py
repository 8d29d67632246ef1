"""What the splash window should look like on the test display: the design
values of the layout and the creation-time scaling rule, computed independently
of the program from the height of "0" that e2e_probe measures."""

DESIGN_CLIENT = (325, 209)
DESIGN_TEXT_HEIGHT = 13
BASE_FONT = ("MS Sans Serif", 11)
# left, top, width, height at 96 pixels per inch
LABELS = {
    "Labelinfos2": (64, 207, 153, 18),
    "Labelsignature": (6, 192, 288, 17),
    "C": (24, 8, 289, 42),
    "Labelinfos": (77, 171, 138, 18),
}


def mul_div(a, b, c):
    product = a * b
    q = (abs(product) + abs(c) // 2) // abs(c)
    return -q if (product < 0) != (c < 0) else q


class Expected:
    def __init__(self, session):
        metrics = session.metrics()
        self.metrics = metrics
        self.ppi = metrics["ppi"]
        base = BASE_FONT[1] if self.ppi == 96 else mul_div(BASE_FONT[1], self.ppi, 96)
        self.text_height = session.probe("text-height", BASE_FONT[0], base)["height"]

    def scale(self, v):
        if self.text_height == DESIGN_TEXT_HEIGHT:
            return v
        return mul_div(v, self.text_height, DESIGN_TEXT_HEIGHT)

    @property
    def client(self):
        return self.scale(DESIGN_CLIENT[0]), self.scale(DESIGN_CLIENT[1])

    def label_rect(self, name):
        """Client rectangle (left, top, right, bottom) of a label: edges scaled."""
        left, top, width, height = LABELS[name]
        return self.scale(left), self.scale(top), self.scale(left + width), self.scale(top + height)

    def centred_origin(self):
        left, top, right, bottom = self.metrics["workarea"]
        width, height = self.client
        return left + (right - left - width) // 2 if right - left >= width else left - (width - (right - left)) // 2, \
            top + (bottom - top - height) // 2 if bottom - top >= height else top - (height - (bottom - top)) // 2


def point_in_label(expected, x, y):
    for name in LABELS:
        left, top, right, bottom = expected.label_rect(name)
        if left <= x < right and top <= y < bottom:
            return name
    return None
