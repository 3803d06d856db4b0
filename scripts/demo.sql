-- Demo database for `make demo`: a small order book with the kinds of values
-- a copy into a workbook has to keep intact (codes with leading zeros, money
-- amounts, dates before and after 2000, times, nulls, binary data).
-- Money is declared numeric(10,2), not decimal(10,2): the SQLite ODBC driver
-- reports decimal columns as character data (SQL_VARCHAR), which would keep
-- the prices text, and numeric ones as SQL_DOUBLE, which makes them numbers.
PRAGMA foreign_keys = ON;
BEGIN;

CREATE TABLE Customers (
    CustomerID   integer PRIMARY KEY,
    CustomerCode varchar(10) NOT NULL,
    CompanyName  varchar(60) NOT NULL,
    ContactName  varchar(40),
    City         varchar(30),
    Country      varchar(30),
    Phone        varchar(24),
    CreditLimit  numeric(10,2),
    FirstOrder   date,
    Active       bit NOT NULL,
    Notes        text
);

INSERT INTO Customers VALUES
 (1,  '00123', 'Harbour Lane Provisions',   'Maria Ortega',     'Lisbon',     'Portugal',    '+351 21 555 0142', 25000.00, '1998-03-14', 1, NULL),
 (2,  '00124', 'Kestrel Office Supply',     'Jonas Lindqvist',  'Uppsala',    'Sweden',      '018-55 01 77',      7500.50, '2003-11-02', 1, 'Invoices by post only.'),
 (3,  '00250', 'Blue Fern Bakery',          NULL,               'Galway',     'Ireland',     NULL,                 1200.00, '2019-06-30', 1, NULL),
 (4,  '00007', 'Oakridge Hardware',         'Dana Whitfield',   'Boise',      'USA',         '(208) 555-0199',    50000.00, '1987-01-05', 1, 'Key account since 1987.'),
 (5,  '01000', 'Café Lumière',              'Élodie Marchand',  'Lyon',       'France',      '04 72 55 01 23',     3000.00, '2011-09-17', 0, 'Closed for renovation; do not ship.'),
 (6,  '00042', 'Nordlicht Feinkost GmbH',   'Jürgen Weiß',      'Bremen',     'Germany',     '0421 5550 117',     18000.00, '2001-12-31', 1, NULL),
 (7,  '00311', 'Pacific Rim Imports',       'Kenji Watanabe',   'Osaka',      'Japan',       '06-5550-0031',      NULL,     NULL,         1, 'Credit limit under review.'),
 (8,  '00999', 'Tres Ríos Distribución',    'Lucía Fernández',  'Sevilla',    'Spain',       '954 55 09 99',       9400.25, '2015-04-01', 1, NULL),
 (9,  '00100', 'Maple & Birch Furniture',   'Owen McAllister',  'Halifax',    'Canada',      '902-555-0100',      12500.00, '2008-07-22', 1, NULL),
 (10, '02024', 'Southern Cross Traders',    'Aroha Ngata',      'Auckland',   'New Zealand', '09 555 2024',        6000.00, '2024-01-15', 1, NULL),
 (11, '00056', 'Vistula Components',        'Paweł Kowalczyk',  'Kraków',     'Poland',      '12 555 00 56',      22000.00, '1999-10-10', 1, NULL),
 (12, '00400', 'Alpenblick Hotel Supplies', NULL,               'Innsbruck',  'Austria',     NULL,                 NULL,     '2020-02-29', 0, NULL);

CREATE TABLE Products (
    ProductID      integer PRIMARY KEY,
    SKU            varchar(12) NOT NULL,
    ProductName    varchar(60) NOT NULL,
    UnitPrice      numeric(10,2) NOT NULL,
    Weight         float,
    InStock        integer,
    Discontinued   bit NOT NULL,
    Checksum       varbinary(16),
    Picture        longvarbinary
);

INSERT INTO Products VALUES
 (1,  '000481', 'Espresso beans 1 kg',         18.90,  1.02,   340, 0, X'9E107D9D372BB6826BD81D3542A419D6', zeroblob(4096)),
 (2,  '000482', 'Filter papers (box of 100)',   3.45,  0.25,  1200, 0, X'E4D909C290D0FB1CA068FFADDF22CBD0', NULL),
 (3,  '001730', 'Oak shelf 80 cm',             64.00, 12.5,     18, 0, X'0CC175B9C0F1B6A831C399E269772661', X'89504E470D0A1A0A0000000D49484452'),
 (4,  '001731', 'Oak shelf 120 cm',            89.00, 18.75,     7, 0, NULL,                                  X'89504E470D0A1A0A0000000D49484452'),
 (5,  '002200', 'Desk lamp, brass',            42.50,  1.8,      0, 1, X'00000000000000000000000000000001', NULL),
 (6,  '002201', 'Desk lamp, matt black',       39.99,  1.75,    55, 0, X'FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF', zeroblob(128)),
 (7,  '003010', 'Printer paper A4 (500)',       5.20,  2.49,  2000, 0, X'D41D8CD98F00B204E9800998ECF8427E', NULL),
 (8,  '003011', 'Printer paper A3 (500)',       9.80,  4.98,   150, 0, X'C4CA4238A0B923820DCC509A6F75849B', NULL),
 (9,  '004500', 'Hotel towel set',             27.00,  NULL,   NULL, 0, NULL,                                  NULL),
 (10, '004501', 'Bathrobe, one size',          35.50,  0.9,     64, 0, X'ECCBC87E4B5CE2FE28308FD9F2A7BAF3', zeroblob(65536)),
 (11, '005000', 'Gift card',                   25.00,  0.005,  NULL, 0, X'A87FF679A2F3E71D9181A67B7542122C', NULL),
 (12, '009999', 'Sample (not for sale)',        0.00,  0.1,      3, 1, NULL,                                  NULL);

CREATE TABLE Orders (
    OrderID      integer PRIMARY KEY,
    OrderNumber  bigint NOT NULL,
    CustomerID   integer NOT NULL REFERENCES Customers(CustomerID),
    OrderDate    date NOT NULL,
    OrderedAt    datetime NOT NULL,
    ShipTime     time,
    ShippedDate  date,
    Freight      numeric(10,2),
    DiscountRate float,
    Paid         bit NOT NULL,
    ShipCity     varchar(30),
    Comment      varchar(200)
);

-- 4,800 orders spread over 2021-2023. The arithmetic only makes the values
-- vary; it is deterministic so that every run shows the same data.
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 4800)
INSERT INTO Orders
SELECT
    10000 + i,
    202100000000 + i * 37,
    1 + (i * 7) % 12,
    date('2021-01-01', '+' || (i * 13 % 1095) || ' days'),
    datetime('2021-01-01 08:00:00', '+' || (i * 13 % 1095) || ' days',
             '+' || (i * 397 % 36000) || ' seconds'),
    CASE WHEN i % 5 = 0 THEN NULL
         ELSE printf('%02d:%02d:00', 8 + i % 10, (i * 7) % 60) END,
    CASE WHEN i % 9 = 0 THEN NULL
         ELSE date('2021-01-01', '+' || (i * 13 % 1095 + 1 + i % 6) || ' days') END,
    CASE WHEN i % 17 = 0 THEN NULL ELSE round(4.5 + (i * 271 % 18000) / 100.0, 2) END,
    CASE WHEN i % 4 = 0 THEN 0.05 WHEN i % 11 = 0 THEN 0.125 ELSE 0.0 END,
    CASE WHEN i % 13 = 0 THEN 0 ELSE 1 END,
    CASE WHEN i % 23 = 0 THEN NULL ELSE
        (SELECT City FROM Customers WHERE CustomerID = 1 + (i * 7) % 12) END,
    CASE WHEN i % 50 = 0 THEN 'Leave at the back door, ring twice.'
         WHEN i % 31 = 0 THEN 'Rush order'
         ELSE NULL END
FROM n;

CREATE TABLE [Order Details] (
    OrderID   integer NOT NULL REFERENCES Orders(OrderID),
    ProductID integer NOT NULL REFERENCES Products(ProductID),
    Quantity  integer NOT NULL,
    UnitPrice numeric(10,2) NOT NULL,
    PRIMARY KEY (OrderID, ProductID)
);

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 600)
INSERT INTO [Order Details]
SELECT 10000 + i, 1 + (i * 5) % 12, 1 + (i * 3) % 20,
       (SELECT UnitPrice FROM Products WHERE ProductID = 1 + (i * 5) % 12)
FROM n;

-- Internal bookkeeping; the wizard leaves tables whose name contains "sys" out.
CREATE TABLE SysAudit (
    AuditID   integer PRIMARY KEY,
    ChangedAt datetime NOT NULL,
    UserName  varchar(30) NOT NULL,
    Action    varchar(200)
);

INSERT INTO SysAudit VALUES
 (1, '2023-12-01 09:15:02', 'admin', 'Created database'),
 (2, '2023-12-01 09:16:40', 'admin', 'Imported customers'),
 (3, '2024-01-15 14:02:11', 'mlopes', 'Added customer 02024');

-- Views are not offered for export either.
CREATE VIEW CustomerOrders AS
SELECT c.CustomerCode, c.CompanyName, o.OrderNumber, o.OrderDate, o.Freight
FROM Customers c JOIN Orders o ON o.CustomerID = c.CustomerID;

COMMIT;
