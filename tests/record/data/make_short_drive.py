#!/usr/bin/env python3
"""Writes short-drive.nmea: a minute's drive north-east at about 40 km/h, one RMC and one GGA
sentence per second, for gpsfake in the field-log tests. Run it here to make the file again."""

from datetime import datetime, timedelta, timezone


def checksum(body):
    value = 0
    for char in body:
        value ^= ord(char)
    return "%02X" % value


def degrees_minutes(value, width):
    whole = int(value)
    return "%0*d%07.4f" % (width, whole, (value - whole) * 60)


def main():
    start = datetime(2024, 5, 14, 9, 30, 0, tzinfo=timezone.utc)
    lines = []
    for i in range(60):
        when = start + timedelta(seconds=i)
        lat = 52.5200 + i * 0.00009
        lon = 13.4050 + i * 0.00005
        hhmmss = when.strftime("%H%M%S") + ".00"
        ddmmyy = when.strftime("%d%m%y")
        rmc = "GPRMC,%s,A,%s,N,%s,E,21.6,19.6,%s,,,A" % (
            hhmmss, degrees_minutes(lat, 2), degrees_minutes(lon, 3), ddmmyy)
        gga = "GPGGA,%s,%s,N,%s,E,1,09,0.9,%.1f,M,39.5,M,," % (
            hhmmss, degrees_minutes(lat, 2), degrees_minutes(lon, 3), 34.0 + (i % 7) * 0.5)
        lines += ["$%s*%s" % (rmc, checksum(rmc)), "$%s*%s" % (gga, checksum(gga))]
    with open("short-drive.nmea", "w", newline="") as out:
        out.write("\r\n".join(lines) + "\r\n")


if __name__ == "__main__":
    main()
