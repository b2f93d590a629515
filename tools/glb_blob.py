"""The binary buffer of a glTF 2.0 model being written (buffer views and
accessors over it) and the .glb container, shared by the model generators
in this folder."""
import json
import struct


class Blob:
    def __init__(self):
        self.data = bytearray()
        self.views = []
        self.accessors = []

    def view(self, data):
        """A buffer view of `data` (4-byte aligned); its index."""
        while len(self.data) % 4:
            self.data.append(0)
        self.views.append({"buffer": 0, "byteOffset": len(self.data), "byteLength": len(data)})
        self.data.extend(data)
        return len(self.views) - 1

    def floats(self, values, comps, bounds=False):
        """An accessor of float vectors of `comps` components; its index."""
        v = self.view(struct.pack("<%df" % len(values), *values))
        a = {"bufferView": v, "componentType": 5126, "count": len(values) // comps,
             "type": {2: "VEC2", 3: "VEC3", 4: "VEC4"}[comps]}
        if bounds:
            a["min"] = [min(values[k::3]) for k in range(3)]
            a["max"] = [max(values[k::3]) for k in range(3)]
        self.accessors.append(a)
        return len(self.accessors) - 1

    def indices(self, values):
        """An accessor of 32-bit indices; its index."""
        v = self.view(struct.pack("<%dI" % len(values), *values))
        self.accessors.append({"bufferView": v, "componentType": 5125, "count": len(values), "type": "SCALAR"})
        return len(self.accessors) - 1

    def write_glb(self, path, doc):
        """Writes `doc` (the JSON without buffers, views and accessors) and
        the buffer as a .glb file."""
        doc = dict(doc, buffers=[{"byteLength": len(self.data)}], bufferViews=self.views,
                   accessors=self.accessors)
        text = json.dumps(doc, separators=(",", ":")).encode()
        text += b" " * (-len(text) % 4)
        while len(self.data) % 4:
            self.data.append(0)
        total = 12 + 8 + len(text) + 8 + len(self.data)
        with open(path, "wb") as f:
            f.write(struct.pack("<III", 0x46546C67, 2, total))
            f.write(struct.pack("<II", len(text), 0x4E4F534A) + text)
            f.write(struct.pack("<II", len(self.data), 0x004E4942) + bytes(self.data))
