#!/usr/bin/env python3
"""Writes reference.kml: the KML track document expected for the small
track that tests/formats/google_test.cpp builds (ReferenceTrack there).

Written apart from the C++ writer, from the document layout alone, so that
the byte-for-byte comparison checks the writer against a second
implementation instead of against its own earlier output. Run it from this
folder when the layout changes on purpose."""
import datetime
import hashlib

GPS_EPOCH = datetime.datetime(1989, 12, 31)
KEY_SEED = "VelmoraTrackSeal!"


def gps_time(y, mo, d, h=0, mi=0, s=0):
    return int((datetime.datetime(y, mo, d, h, mi, s) - GPS_EPOCH).total_seconds())


def calendar(t):
    return GPS_EPOCH + datetime.timedelta(seconds=t)


def round_away(p):
    return int(p + 0.5) if p >= 0 else -int(0.5 - p)


def metres(tenths):  # nearest metre, halves upward, below zero too
    return (tenths + 5) // 10


def degrees(semicircles):
    return (semicircles * 1.4629180792671596e-9) * 57.29577951308


def dms(semicircles, latitude):
    a = round_away(semicircles * 0.03017485141754)
    letter = ("S" if a < 0 else "N") if latitude else ("W" if a < 0 else "E")
    v = abs(a)
    fmt = " %02d  %02d  %02d.%02d" if latitude else " %03d  %02d  %02d.%02d"
    return letter + fmt % (v // 360000, (v // 6000) % 60, (v // 100) % 60, v % 100)


T0 = gps_time(2013, 7, 21, 11, 42, 7)
# time offset, latitude, longitude (semicircles), GPS altitude (dm), pressure altitude (m)
POINTS = [
    (0, 554785426, 95684721, 12345, 1200),
    (5, 554790000, 95690000, -24, -3),
    (10, 554801234, 95701234, 15, 0),
    (17, 554812345, 95712345, -16, 7),
    (30, 554823456, 95723456, 0, 8),
    (31, -554834567, -95734567, 9999, 999),
]
PRODUCT = 'Flymaster <GpsX> "A&B" v1.2'  # as a reader recovers it
DOWNLOAD = T0 + 7203

A = dict(
    start=T0, end=T0 + 3725, duration=3725, max_alt=1235, min_alt=-2,
    top=41.49, mean=30.5, track=12345.678, min_climb=-1.5, max_climb=2.345,
    open_idx=[0, 5], open=9876.5,
    idx3=[0, 2, 5], leg3=[1000.4, 2000.6], sum3=3001.0,
    idx4=[0, 1, 3, 5], leg4=[500.0, 600.25, 700.5], sum4=1800.75,
    idx5=[0, 1, 2, 4, 5], leg5=[100.0, 200.0, 300.0, 400.0], sum5=1000.0,
    or_idx=[0, 3, 5], or_leg=1500.0, or_close=20.0, or_score=2980.0,
    flat_idx=[0, 1, 2, 4, 5], flat_leg=[100.0, 200.0, 300.0], flat_close=50.0, flat_score=550.0,
    fai_idx=[0, 0, 0, 0, 0], fai_leg=[0.0, 0.0, 0.0], fai_close=0.0, fai_score=0.0,
)

out = []


def line(s):
    out.append(s + "\r\n")


def coord(i):
    _, lat, lon, alt, _ = POINTS[i]
    return "%.6f,%.6f,%d" % (degrees(lon), degrees(lat), metres(alt))


def placemark(kind, name, heading, idx, rows, total, lines, colour):
    line("    <Placemark>")
    line('      <Metadata src="VelmoraLinux" v="0.18" type="%s">' % kind)
    line('        <FsInfo track_idx="%s" />' % " ".join(str(i) for i in idx))
    line("      </Metadata>")
    line("      <name>%s</name>" % name)
    line("      <description>")
    line("        <![CDATA[")
    line("<pre>")
    line(heading)
    line("")
    line("Pos.      Time      Latitude         Longitude         Distance")
    for r, i in enumerate(idx):
        t = calendar(T0 + POINTS[i][0])
        row = " %s %5d  %02d:%02d:%02d  %s  %s" % ("ABCDE"[r], i + 1, t.hour, t.minute, t.second,
                                                  dms(POINTS[i][1], True), dms(POINTS[i][2], False))
        if r > 0:
            row += "  %.2f" % (rows[r - 1] * 0.001)
        line(row)
    if total is not None:
        line(" " * 50 + "Sum  %.2f" % (total * 0.001))
    line("</pre>]]>")
    line("      </description>")
    if len(lines) == 1:
        line("      <LineString>")
        line("        <tessellate>1</tessellate>")
        line("        <coordinates>")
        for p in lines[0]:
            line("          " + coord(idx[p]))
        line("        </coordinates>")
        line("      </LineString>")
    else:
        line("      <MultiGeometry>")
        for part in lines:
            line("        <LineString>")
            line("          <tessellate>1</tessellate>")
            line("          <coordinates>")
            for p in part:
                line("            " + coord(idx[p]))
            line("          </coordinates>")
            line("        </LineString>")
        line("      </MultiGeometry>")
    line("      <Style>")
    line("        <LineStyle>")
    line("          <color>%s</color>" % colour)
    line("        </LineStyle>")
    line("      </Style>")
    line("    </Placemark>")


line('<?xml version="1.0" encoding="UTF-8"?>')
line("<Document>")
line("<open>1</open>")
line("  <Folder>")
line('    <Metadata src="VelmoraLinux" v="0.18" type="trip"/>')
line("    <open>1</open>")
line("    <name>Trip</name>")
line("    <description><![CDATA[")
line("<pre>")
line("Flight statistics")
s, e = calendar(A["start"]), calendar(A["end"])
line("Date                 %4d-%02d-%02d" % (s.year, s.month, s.day))
line("Start/finish         %02d:%02d:%02d - %02d:%02d:%02d" % (s.hour, s.minute, s.second, e.hour, e.minute, e.second))
d = A["duration"]
line("Duration             %d : %02d : %02d" % (d // 3600, (d // 60) % 60, d % 60))
line("Max./min. height     %d / %d m" % (A["max_alt"], A["min_alt"]))
line("Max. mean/top speed  %d km/h / %d km/h" % (int(A["mean"] + 0.5), int(A["top"] + 0.5)))
line("Max/min climb rate   %.2f / %.2f m/s over 60s" % (A["max_climb"], A["min_climb"]))
line("Total distance       %.2f km" % (A["track"] * 0.001))
line("</pre>]]>")
line("    </description>")
placemark("distance_5_point", "Distance over 5 points", "Greatest distance using 5 points",
          A["idx5"], A["leg5"], A["sum5"], [[0, 1, 2, 3, 4]], "FFFF0000")
placemark("distance_4_point", "Distance over 4 points", "Greatest distance using 4 points",
          A["idx4"], A["leg4"], A["sum4"], [[0, 1, 2, 3]], "FFFF0000")
placemark("distance_3_point", "Distance over 3 points", "Greatest distance using 3 points",
          A["idx3"], A["leg3"], A["sum3"], [[0, 1, 2]], "FFFF0000")
placemark("distance_open", "Open distance", "Greatest distance between any 2 points",
          A["open_idx"], [A["open"]], None, [[0, 1]], "FF0000FF")
placemark("distance_out_and_return", "Out-and-return distance", "Out-and-return distance",
          A["or_idx"], [A["or_leg"], A["or_close"]], A["or_score"], [[2, 0, 1]], "FFFF0000")
placemark("distance_flat_triangle", "Flat triangle", "Flat triangle", A["flat_idx"],
          A["flat_leg"] + [A["flat_close"]], A["flat_score"], [[1, 2, 3, 1], [0, 4]], "FFFF0000")
placemark("distance_fai_triangle", "FAI triangle", "FAI triangle", A["fai_idx"],
          A["fai_leg"] + [A["fai_close"]], A["fai_score"], [[1, 2, 3, 1], [0, 4]], "FFFF0000")

key = "".join(chr(ord(c) + i) for i, c in enumerate(KEY_SEED))
hashed = [key]
first = calendar(T0).strftime("%Y-%m-%dT%H:%M:%SZ")
download = calendar(DOWNLOAD).strftime("%Y-%m-%dT%H:%M:%SZ")
seconds = ["%d " % p[0] for p in POINTS]
seconds[-1] = seconds[-1].rstrip()
pressure = ["%d " % p[4] for p in POINTS]
pressure[-1] = pressure[-1].rstrip()
coords = [coord(i) + " " for i in range(len(POINTS))]
coords[-1] = coords[-1].rstrip()
hashed += [first, PRODUCT, download] + seconds + pressure + coords
digest = hashlib.sha1("".join(hashed).encode("utf-8")).hexdigest().upper()
escaped = PRODUCT.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")

line("    <Placemark>")
line('      <Metadata src="VelmoraLinux" v="4.72" type="track">')
out.append('        <FsInfo time_of_first_point="%s"' % first)
out.append('\r\n                instrument="%s"' % escaped)
out.append('\r\n                downloaded="%s"' % download)
out.append('\r\n                hash="%s"' % digest)
out.append(">\r\n")
line("          <SecondsFromTimeOfFirstPoint>")
line("".join(seconds))
line("          </SecondsFromTimeOfFirstPoint>")
line("          <PressureAltitude>")
line("".join(pressure))
line("          </PressureAltitude>")
line("        </FsInfo>")
line("      </Metadata>")
line("      <name>Tracklog</name>")
line("      <LineString>")
line("        <altitudeMode>absolute</altitudeMode>")
line("        <coordinates>")
line("".join(coords[:5]))
line("".join(coords[5:]))
line("        </coordinates>")
line("      </LineString>")
line("    </Placemark>")
line("  </Folder>")
line("</Document>")

with open("reference.kml", "wb") as f:
    f.write("".join(out).encode("utf-8"))
