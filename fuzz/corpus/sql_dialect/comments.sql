-- it's #x#
DELETE * FROM t /* ' # */