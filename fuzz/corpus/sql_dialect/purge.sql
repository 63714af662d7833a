DELETE *
FROM tblLog
WHERE logdate < #11/24/2026#